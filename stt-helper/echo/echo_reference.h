#pragma once
// The "remote" audio as a session's echo processing keeps it, and the sample arithmetic of the
// capture-time clock both sides are placed on: sample index = "capturedAt" in ms × 16.
//
// Threads: none of its own; SessionEcho calls it under its lock.
#include <cstdint>
#include <limits>
#include <vector>

#include "stt-helper/echo/echo_delay.h"
#include "support/audio/echo_canceller.h"

namespace brimlow::stt::echo {

inline constexpr int64_t kSamplesPerMs = 16;
inline constexpr int64_t kFrame = audio::EchoCanceller::kFrameSamples;  // 10 ms
inline constexpr int64_t kNone = std::numeric_limits<int64_t>::min();
// Capture times that wander this little from the running sample count are jitter of the host's
// stamps, not a gap in the audio.
inline constexpr int64_t kJitterSamples = 100 * kSamplesPerMs;
// How much of the "remote" audio is kept: the longest lag, the hold and some slack.
inline constexpr int64_t kReferenceSamples = 8 * 16000;
inline constexpr int64_t kReferenceFrames = kReferenceSamples / kFrame;

int64_t sampleIndexAt(double capturedAt);
// floor(a / b) for b > 0, also for negative a.
int64_t floorDiv(int64_t a, int64_t b);
double meanSquare(const int16_t* samples, int64_t count);
double decibels(double meanSquareValue);

// What the loudspeakers played, by sample index on the capture-time clock, for the last few
// seconds, with the level of each 10 ms frame.
class Reference {
 public:
  bool started() const { return end_ != kNone; }
  int64_t end() const { return end_; }
  double lastArrival() const { return lastArrival_; }

  // Appends a chunk where the running sample count puts it, or where its capture time says when
  // that is far from the count. Levels of the frames it completes go to the estimator.
  void append(const int16_t* samples, int64_t count, double capturedAt, double now,
              EchoDelayEstimator& delay);
  // `count` samples from `from`; what is not held (too old, not come yet) reads as silence.
  // True when all of it was held.
  bool read(int64_t from, int16_t* out, int64_t count) const;
  // Whether the level of every frame among [first, last] is known.
  bool known(int64_t first, int64_t last) const;
  // The loudest known frame level among frames [first, last], 0 when none is known.
  double loudest(int64_t first, int64_t last) const;

 private:
  std::vector<int16_t> ring_;  // made with the first chunk
  std::vector<double> levels_;
  int64_t end_ = kNone;
  int64_t levelsFrom_ = kNone;  // the first frame whose level is not yet known
  double lastArrival_ = -std::numeric_limits<double>::infinity();
};

}  // namespace brimlow::stt::echo
