#pragma once
// Keeps the other side out of the local user's transcript. In a meeting without headphones the
// microphone ("self") hears the loudspeakers, which play the "remote" audio of the same session.
// SessionEcho takes both streams of one session on their "capturedAt" clock and gives back the
// "self" audio with that echo removed:
//   - it finds how far the echo lies behind the "remote" audio (echo_delay.h), and whether the
//     microphone hears the loudspeakers at all; one that does not (headphones) is left alone;
//   - it feeds the canceller each microphone frame with its aligned reference;
//   - it turns down, to the background's level, the frames that the linear filter finds to be
//     echo and little else, so that what the canceller leaves neither opens an utterance nor
//     reaches the recognizer as words, while the local voice goes through.
//
// "self" audio waits (up to holdMs) for the "remote" audio it needs; past that it goes on without
// its reference rather than stall. Until "remote" audio comes, and once it has stopped coming
// for remoteIdleMs, "self" passes through untouched and without waiting. Nothing is allocated
// and nothing runs until the session has "self" audio: a session with one source pays nothing.
//
// Threads: addRemote() may be called from any thread; the other calls from one context at a time
// (the "self" channel's). An internal lock covers both sides.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/audio/audio.h"
#include "support/audio/echo_canceller.h"

namespace brimlow::stt {

struct TimedBuffer {
  audio::PcmBufferPtr buffer;
  double capturedAt = 0;
};

struct SessionEchoSettings {
  // The longest a "self" frame waits for its reference. The "remote" audio comes in 250 ms
  // chunks, so its newest part can come up to that much after the microphone's.
  double holdMs = 300;
  double remoteIdleMs = 1000;  // "remote" silent this long: "self" no longer waits for it
  int targetDelayMs = 20;      // where the echo lies behind its reference once aligned
  audio::EchoCancellerSettings canceller;
  // The residual gate: a frame is turned down while the loudspeakers play when what the linear
  // filter left of it is gateMarginDb or more below the echo it predicted.
  bool gate = true;
  double gateMarginDb = 3;
  double gateAttenuationDb = 30;  // at most this far, and never below the background
  // Until the echo is found, a frame is turned down while the loudspeakers play unless it is
  // louder than them by this much.
  double startupMarginDb = 0;
};

class SessionEcho {
 public:
  explicit SessionEcho(SessionEchoSettings settings = {});
  ~SessionEcho();
  SessionEcho(const SessionEcho&) = delete;
  SessionEcho& operator=(const SessionEcho&) = delete;

  // "remote" audio, 16 kHz mono int16: the reference. Kept only once "self" audio has come.
  // True when "self" audio is held, which may go on now (release()).
  bool addRemote(const audio::PcmBuffer& buffer, double capturedAt, double now);
  // "self" audio in; what may go on now comes out, in order, each piece with its capture time.
  std::vector<TimedBuffer> addSelf(const audio::PcmBufferPtr& buffer, double capturedAt,
                                   double now);
  // Held "self" audio whose reference has come meanwhile, or that has waited long enough.
  std::vector<TimedBuffer> release(double now);
  // Everything held, now (the session ends).
  std::vector<TimedBuffer> releaseAll();
  // When the oldest held "self" audio must go at the latest; nothing when none is held.
  std::optional<double> holdDeadline() const;
  // Forgets the "self" stream and what it held (its channel was cancelled).
  void resetSelf();
  // Why the canceller could not be made, once; the audio then passes through untouched.
  std::optional<std::string> takeFailure();

  // The echo delay in use, in ms, and whether the microphone hears the loudspeakers (for
  // benchmarks).
  std::optional<int> delayMs() const;
  std::optional<bool> echoHeard() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brimlow::stt
