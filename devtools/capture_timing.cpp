#include "devtools/capture_timing.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

namespace brimlow::devtools {

void CaptureTimeline::add(double capturedAt, std::span<const int16_t> samples) {
  chunkStart_.push_back(samples_.size());
  chunkAt_.push_back(capturedAt);
  samples_.insert(samples_.end(), samples.begin(), samples.end());
}

double CaptureTimeline::timeOf(size_t index) const {
  if (chunkStart_.empty()) return 0.0;
  auto next = std::upper_bound(chunkStart_.begin(), chunkStart_.end(), index);
  const size_t chunk = static_cast<size_t>(next - chunkStart_.begin()) - 1;
  return chunkAt_[chunk] + static_cast<double>(index - chunkStart_[chunk]) * 1000.0 / kCaptureRate;
}

size_t CaptureTimeline::sampleAt(double ms) const {
  auto chunk = std::lower_bound(chunkAt_.begin(), chunkAt_.end(), ms);
  if (chunk == chunkAt_.begin()) return 0;
  const size_t before = static_cast<size_t>(chunk - chunkAt_.begin()) - 1;
  const double into = (ms - chunkAt_[before]) * kCaptureRate / 1000.0;
  const size_t end = before + 1 < chunkStart_.size() ? chunkStart_[before + 1] : samples_.size();
  return std::min(end, chunkStart_[before] + static_cast<size_t>(std::ceil(into)));
}

std::vector<int16_t> markSound(double amplitude) {
  const double seconds = 0.040, from = 1000.0, to = 5000.0;
  const size_t n = static_cast<size_t>(seconds * kCaptureRate);
  std::vector<int16_t> mark(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kCaptureRate;
    const double phase = 2.0 * std::numbers::pi * (from * t + (to - from) * t * t / (2 * seconds));
    const double fade = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                             static_cast<double>(n - 1));
    mark[i] = static_cast<int16_t>(std::lround(amplitude * 32767.0 * fade * std::sin(phase)));
  }
  return mark;
}

std::vector<size_t> findMarks(std::span<const int16_t> samples, std::span<const int16_t> mark,
                              double threshold) {
  const size_t n = mark.size();
  if (n == 0 || samples.size() < n) return {};
  double markEnergy = 0.0;
  for (int16_t m : mark) markEnergy += double(m) * m;
  // Energy of every window of n samples, from running sums.
  std::vector<double> prefix(samples.size() + 1, 0.0);
  for (size_t i = 0; i < samples.size(); ++i)
    prefix[i + 1] = prefix[i] + double(samples[i]) * samples[i];
  std::vector<double> score(samples.size() - n + 1, 0.0);
  for (size_t p = 0; p < score.size(); ++p) {
    const double energy = prefix[p + n] - prefix[p];
    if (energy <= 0.0) continue;
    double dot = 0.0;
    for (size_t i = 0; i < n; ++i) dot += double(samples[p + i]) * mark[i];
    score[p] = dot / std::sqrt(markEnergy * energy);
  }
  const size_t apart = static_cast<size_t>(kCaptureRate / 4);
  std::vector<size_t> found;
  for (size_t p = 0; p < score.size(); ++p) {
    if (score[p] < threshold) continue;
    const size_t from = p > apart ? p - apart : 0, to = std::min(score.size(), p + apart + 1);
    if (std::max_element(score.begin() + from, score.begin() + to) == score.begin() + p)
      found.push_back(p);
  }
  return found;
}

std::vector<int16_t> markedTone(double seconds) {
  std::vector<int16_t> samples(static_cast<size_t>(seconds * kCaptureRate));
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(std::lround(
        0.05 * 32767.0 * std::sin(2.0 * std::numbers::pi * 220.0 * double(i) / kCaptureRate)));
  const auto mark = markSound(kMarkAmplitude);
  for (double at = kFirstMarkMs;; at += kMarkEveryMs) {
    const auto start = static_cast<size_t>(at * kCaptureRate / 1000.0);
    if (start + mark.size() > samples.size()) break;
    std::copy(mark.begin(), mark.end(), samples.begin() + static_cast<long>(start));
  }
  return samples;
}

std::vector<MarkArrival> markArrivals(const CaptureTimeline& timeline, double wallPerAudio) {
  const auto marks = findMarks(timeline.samples(), markSound(kMarkAmplitude), 0.4);
  std::vector<MarkArrival> arrivals;
  const double every = kMarkEveryMs * kCaptureRate / 1000.0;
  for (size_t p : marks) {
    const double k = std::round(double(p - marks.front()) / every);
    const double at = timeline.timeOf(p);
    arrivals.push_back({at, at - k * kMarkEveryMs * wallPerAudio, std::lround(k)});
  }
  return arrivals;
}

ClockReading readClocks() {
  using Ms = std::chrono::duration<double, std::milli>;
  return {Ms(std::chrono::system_clock::now().time_since_epoch()).count(),
          Ms(std::chrono::steady_clock::now().time_since_epoch()).count()};
}

double wallPerMonotonic(const ClockReading& from, const ClockReading& to) {
  return to.monotonic > from.monotonic ? (to.wall - from.wall) / (to.monotonic - from.monotonic)
                                       : 1.0;
}

namespace {

// Correlation and gain of `clip` against `captured` from `at`, on every `step`th sample.
ClipMatch matchAt(std::span<const int16_t> captured, std::span<const int16_t> clip, size_t at,
                  size_t step) {
  double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, count = 0;
  for (size_t i = 0; i < clip.size() && at + i < captured.size(); i += step) {
    const double x = clip[i], y = captured[at + i];
    sx += x, sy += y, sxx += x * x, syy += y * y, sxy += x * y, count += 1;
  }
  ClipMatch match{at, 0.0, 0.0};
  if (count < 2) return match;
  const double cov = sxy - sx * sy / count, vx = sxx - sx * sx / count, vy = syy - sy * sy / count;
  if (vx > 0 && vy > 0) match.correlation = cov / std::sqrt(vx * vy);
  if (vx > 0) match.gain = cov / vx;
  return match;
}

}  // namespace

ClipMatch bestMatch(std::span<const int16_t> captured, std::span<const int16_t> clip, size_t from,
                    size_t to) {
  ClipMatch best;
  best.correlation = -2.0;
  for (size_t at = from; at <= to && at < captured.size(); at += 4) {
    ClipMatch match = matchAt(captured, clip, at, 4);
    if (match.correlation > best.correlation) best = match;
  }
  const size_t coarse = best.at;
  best.correlation = -2.0;
  for (size_t at = coarse > 4 ? coarse - 4 : 0; at <= coarse + 4 && at < captured.size(); ++at) {
    ClipMatch match = matchAt(captured, clip, at, 1);
    if (match.correlation > best.correlation) best = match;
  }
  return best;
}

}  // namespace brimlow::devtools
