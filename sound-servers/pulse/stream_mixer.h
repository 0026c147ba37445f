#pragma once
// Mixes separately recorded playback streams back into one signal that keeps the time of a clock
// counting the frames of time passing: the output stays within one stall (`stallFrames`) of the
// clock's count, ahead or behind, so that over time it holds as many frames as the clock however
// streams come, go, stall or hand over bursts.
//
// - A stream that keeps delivering holds the output back until its frames are there, so that
//   streams that arrive together stay aligned and nothing is inserted between two pieces of one
//   stream (padding a stream that was merely late, however little, shifts and garbles it). It
//   holds it at most a stall behind the clock. A stream that has not delivered yet, or has
//   delivered nothing for a stall (paused, corked, ending), holds nothing.
// - A stream starts at the clock's time: its first frames (and its first after a stall) are the
//   sound that has just played, so they end with the newest frames of the streams that play in
//   time, or at the clock's count, or start where the output is when that is further on. Until
//   its first sound leaves it holds nothing back: when the others' next frames show that it
//   started behind them (a server hands a new recording odd pieces at first), its start moves
//   later instead. A joining stream never takes the others' time.
// - Frames that come ahead of the output (a burst, a stream that joined late) wait in their
//   stream and leave as the clock goes on; nothing of them is lost while the stream holds at most
//   `heldLimitFrames`, beyond which its oldest frames are dropped. What a removed stream still
//   holds leaves the same way.
//
// Not thread-safe: one thread (the sound server's loop) calls everything.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace brimlow::platform::pulse {

class StreamMixer {
 public:
  // Receives interleaved frames of `channels` samples.
  using Sink = std::function<void(const float* interleaved, size_t frames)>;
  // Room for the next `frames` frames that go to the sink, valid until the sink returns, so that
  // the mix is written where it goes; nullptr for the mixer's own.
  using Target = std::function<float*(size_t frames)>;
  // Writes a source's next frames, interleaved, where it is told.
  using Fill = std::function<void(float* interleaved)>;

  StreamMixer(uint32_t channels, size_t stallFrames, size_t heldLimitFrames, Sink sink,
              Target target = {});

  void addSource(uint32_t id);
  // What the source still holds leaves with the clock, after which it is forgotten.
  void removeSource(uint32_t id);

  void sourceData(uint32_t id, const float* interleaved, size_t frames);
  // As sourceData, with `fill` writing the frames in place: into the sink's room when they
  // leave at once and alone (one stream playing), else at the end of the source's queue.
  void fillSource(uint32_t id, size_t frames, const Fill& fill);
  void clockFrames(size_t frames);

 private:
  struct Source {
    std::vector<float> samples;  // interleaved; those before `head` are mixed out already
    size_t head = 0;
    size_t idleFrames = 0;   // clock frames since it last delivered
    bool removed = false;    // kept only until its frames are mixed out
    bool delivered = false;  // has delivered anything yet
    // Its sound (re)starts and none of it has left yet: it does not hold the output back, its
    // start moves later instead, by `silenceAhead` frames so far.
    bool starting = false;
    size_t silenceAhead = 0;
  };
  bool live(const Source& source) const {
    return !source.removed && source.delivered && source.idleFrames < stallFrames_;
  }
  size_t held(const Source& source) const { return source.samples.size() - source.head; }
  size_t available(const Source& source) const { return held(source) / channels_; }
  // Silence before `frames` new frames that start a source's sound again, so that they end now,
  // with the newest frames of the others.
  size_t startGap(size_t frames) const;
  // `frames` more frames of silence before the sound of `source`, which is starting.
  void startLater(Source& source, size_t frames);
  // Whether `frames` new frames of `source` would leave at once and alone.
  bool passesStraight(const Source& source, size_t frames) const;
  float* room(size_t frames);
  // Mixes `frames` frames (sources with less add silence for the rest) and hands them on.
  void emit(size_t frames);
  void pump();
  void dropDrained();

  uint32_t channels_;
  size_t stallFrames_;
  size_t heldLimitFrames_;
  Sink sink_;
  Target target_;
  std::map<uint32_t, Source> sources_;
  std::vector<float> mix_;
  uint64_t clock_ = 0;    // frames counted by the clock
  uint64_t emitted_ = 0;  // frames handed on
};

}  // namespace brimlow::platform::pulse
