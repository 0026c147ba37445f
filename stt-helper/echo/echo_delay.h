#pragma once
// How far the microphone's echo lies behind the "remote" audio, on the capture-time clock both
// streams carry, and whether the microphone hears the loudspeakers at all (headphones, or a
// microphone path that cancels echo itself, hear none). The host stamps each stream with its
// own "capturedAt", so besides the loudspeaker and the room the two clocks may differ by a few
// hundred milliseconds either way; the canceller only copes with a short, causal delay, so the
// delay is found here first.
//
// It correlates the level envelopes (10 ms frames, in dB) of both streams at every lag in range,
// over the last several seconds (older frames weigh less and less), and takes the best lag once
// it stands out clearly and the microphone's level has a floor that follows the loudspeakers at
// that lag (an echo has one; an unrelated voice with a similar rhythm has not).
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace brimlow::stt {

class EchoDelayEstimator {
 public:
  static constexpr int kMinLagFrames = -40;  // the echo up to 400 ms before its reference's stamp
  static constexpr int kMaxLagFrames = 70;   // up to 700 ms after it
  static constexpr int kLags = kMaxLagFrames - kMinLagFrames + 1;

  EchoDelayEstimator();

  // Frame levels in dB, by frame number on the shared clock (capture time / 10 ms). Near frames
  // come in order; a near frame counts once the reference has reached past its negative lags.
  void addNear(int64_t frame, float levelDb);
  void addFar(int64_t frame, float levelDb);

  struct Verdict {
    // The delay in frames (echo frame minus reference frame), once one has been found.
    std::optional<int> delayFrames;
    // Whether the microphone hears the loudspeakers: true once a delay was found, false once
    // the evidence says it does not, nothing before.
    std::optional<bool> echoHeard;
    bool operator==(const Verdict&) const = default;
  };
  // What the evidence says so far.
  Verdict verdict() const { return {delay_, echoHeard()}; }

 private:
  static constexpr int64_t kCapacity = 1024;
  struct Sums {
    double n = 0, x = 0, y = 0, xx = 0, yy = 0, xy = 0;
  };

  float farAt(int64_t frame) const;
  float nearAt(int64_t frame) const;
  std::optional<double> spreadBelowDb(int lag) const;
  void count(int64_t nearFrame, float nearLevel);
  void decide();
  std::optional<bool> echoHeard() const;

  std::vector<float> far_;
  std::vector<float> near_;  // levels of the counted near frames
  int64_t nearLast_ = INT64_MIN;
  int64_t farFirst_ = INT64_MIN, farLast_ = INT64_MIN;
  std::deque<std::pair<int64_t, float>> waiting_;  // near frames whose reference is not all here
  std::vector<Sums> sums_;
  int64_t counted_ = 0;            // near frames counted
  int64_t loudspeakerFrames_ = 0;  // of them, with the loudspeakers playing
  std::optional<int> candidate_;
  bool spreadSaysNoEcho_ = false;
  std::optional<int> delay_;
};

}  // namespace brimlow::stt
