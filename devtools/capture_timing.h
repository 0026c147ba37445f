#pragma once
// Where known sounds land in what brimlow-audio-capture writes, read from outside as a host reads
// it: the chunks laid end to end with the time of each sample ("capturedAt" plus the sample's
// place in its chunk), a short sweep that can be found again under speech, and the best match of
// a played clip. Shared by the capture tests and benchmarks.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brimlow::devtools {

constexpr double kCaptureRate = 16000.0;  // samples per second of every chunk

class CaptureTimeline {
 public:
  // The next chunk, in sequence order.
  void add(double capturedAt, std::span<const int16_t> samples);

  const std::vector<int16_t>& samples() const { return samples_; }
  // "capturedAt" of each chunk.
  const std::vector<double>& chunkTimes() const { return chunkAt_; }
  // Milliseconds since the epoch at which sample `index` was captured, by its chunk's
  // "capturedAt"; samples past the end count on from the last chunk.
  double timeOf(size_t index) const;
  // The first sample captured at `ms` or later (samples().size() when there is none).
  size_t sampleAt(double ms) const;

 private:
  std::vector<int16_t> samples_;
  std::vector<double> chunkAt_;
  std::vector<size_t> chunkStart_;
};

// A rising sweep from 1 to 5 kHz, 40 ms at 16 kHz, faded in and out, with a peak of `amplitude`
// (full scale 1.0): it stands out of speech and tones mixed over it.
std::vector<int16_t> markSound(double amplitude);

// Where `mark` starts in `samples`: every place where its normalised correlation with the
// samples reaches `threshold` and is the highest within a quarter second.
std::vector<size_t> findMarks(std::span<const int16_t> samples, std::span<const int16_t> mark,
                              double threshold);

// A steady stream's sound: a quiet 220 Hz tone with a mark (markSound(kMarkAmplitude)) every
// kMarkEveryMs, the first at kFirstMarkMs, `seconds` long at 16 kHz.
constexpr double kMarkAmplitude = 0.7;
constexpr double kMarkEveryMs = 1000.0;
constexpr double kFirstMarkMs = 500.0;
std::vector<int16_t> markedTone(double seconds);

struct MarkArrival {
  double at = 0.0;     // when the mark was captured, ms since the epoch
  double delay = 0.0;  // `at` less the mark's place in the marked tone, plus a constant
  long index = 0;      // which mark, counted from the first one found
};
// The marks of a marked tone in a capture, in order. Marks are told apart by their distance in
// samples from the first one found, so `delay` changes only when the capture shifts the tone.
// `wallPerAudio` is how many milliseconds of the wall clock ("capturedAt") pass while the sound
// server plays one millisecond: not quite 1 while the system slews its wall clock.
std::vector<MarkArrival> markArrivals(const CaptureTimeline& timeline, double wallPerAudio = 1.0);

// Milliseconds since the epoch (the clock of "capturedAt") and of the monotonic clock that paces
// the sound servers' null outputs, read together.
struct ClockReading {
  double wall = 0.0;
  double monotonic = 0.0;
};
ClockReading readClocks();
// Wall milliseconds per monotonic millisecond from `from` to `to`.
double wallPerMonotonic(const ClockReading& from, const ClockReading& to);

struct ClipMatch {
  size_t at = 0;             // where the clip starts in the captured samples
  double correlation = 0.0;  // Pearson correlation of clip and capture there, other sound included
  double gain = 0.0;  // how much of the clip is there: 1 when all of it came back at its level
};

// The best place of `clip` in `captured` among starts from `from` to `to`: coarse on every
// fourth sample, then sample by sample around the best.
ClipMatch bestMatch(std::span<const int16_t> captured, std::span<const int16_t> clip, size_t from,
                    size_t to);

}  // namespace brimlow::devtools
