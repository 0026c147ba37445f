#include "stt-helper/echo/echo_reference.h"

#include <algorithm>
#include <cmath>

namespace brimlow::stt::echo {

namespace {

constexpr double kTiny = 1e-12;

size_t wrap(int64_t index, int64_t size) {
  return static_cast<size_t>(((index % size) + size) % size);
}

}  // namespace

int64_t sampleIndexAt(double capturedAt) {
  return std::llround(capturedAt * static_cast<double>(kSamplesPerMs));
}

int64_t floorDiv(int64_t a, int64_t b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

double meanSquare(const int16_t* samples, int64_t count) {
  double sum = 0;
  for (int64_t i = 0; i < count; ++i) {
    const double value = samples[i] / 32768.0;
    sum += value * value;
  }
  return count > 0 ? sum / static_cast<double>(count) : 0.0;
}

double decibels(double meanSquareValue) {
  return 10.0 * std::log10(meanSquareValue + kTiny);
}

void Reference::append(const int16_t* samples, int64_t count, double capturedAt, double now,
                       EchoDelayEstimator& delay) {
  lastArrival_ = now;
  const int64_t at = sampleIndexAt(capturedAt);
  const int64_t gap = end_ == kNone ? 0 : at - end_;
  if (end_ == kNone || gap < -kJitterSamples || gap >= kReferenceSamples) {
    end_ = at;  // the first chunk, or the clock jumped: start over from here
    levelsFrom_ = floorDiv(at + kFrame - 1, kFrame);
  } else if (gap > kJitterSamples) {
    for (int64_t i = end_; i < at; ++i) ring_[wrap(i, kReferenceSamples)] = 0;  // silence
    end_ = at;
  }
  if (ring_.empty()) {
    ring_.resize(kReferenceSamples);
    levels_.resize(kReferenceFrames);
  }
  for (int64_t i = 0; i < count; ++i) ring_[wrap(end_ + i, kReferenceSamples)] = samples[i];
  end_ += count;
  const int64_t whole = floorDiv(end_, kFrame);  // frames before this one are complete
  for (int64_t frame = std::max(levelsFrom_, whole - kReferenceFrames); frame < whole; ++frame) {
    double sum = 0;
    for (int64_t i = frame * kFrame; i < (frame + 1) * kFrame; ++i) {
      const double value = ring_[wrap(i, kReferenceSamples)] / 32768.0;
      sum += value * value;
    }
    levels_[wrap(frame, kReferenceFrames)] = sum / static_cast<double>(kFrame);
    delay.addFar(frame, static_cast<float>(decibels(sum / static_cast<double>(kFrame))));
  }
  levelsFrom_ = std::max(levelsFrom_, whole);
}

bool Reference::read(int64_t from, int16_t* out, int64_t count) const {
  bool whole = true;
  for (int64_t i = 0; i < count; ++i) {
    const int64_t index = from + i;
    const bool held = end_ != kNone && index < end_ && index >= end_ - kReferenceSamples;
    out[i] = held ? ring_[wrap(index, kReferenceSamples)] : 0;
    whole = whole && held;
  }
  return whole;
}

bool Reference::known(int64_t first, int64_t last) const {
  return end_ != kNone && first >= levelsFrom_ - kReferenceFrames && last < levelsFrom_;
}

double Reference::loudest(int64_t first, int64_t last) const {
  double level = 0;
  for (int64_t frame = std::max(first, levelsFrom_ - kReferenceFrames);
       frame <= std::min(last, levelsFrom_ - 1); ++frame)
    level = std::max(level, levels_[wrap(frame, kReferenceFrames)]);
  return level;
}

}  // namespace brimlow::stt::echo
