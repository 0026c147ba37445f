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
