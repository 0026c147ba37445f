#include "stt-helper/echo/echo_delay.h"

#include <algorithm>
#include <cmath>

namespace brimlow::stt {

namespace {

// Levels are taken no lower than this: the pattern of speech and pauses is what matches, not the
// depth of digital silence.
constexpr float kFloorDb = -70.0f;
// The loudspeakers count as playing above this level.
constexpr float kPlayingDb = -55.0f;
// Each counted frame weighs this much less than the one after it: about 10 s of memory.
constexpr double kForget = 0.999;
constexpr int kDecideEveryFrames = 50;
// Decisions start after 1 s of audio, and all but the clearest wait for 2 s: a short stretch
// of two unrelated voices can look alike.
constexpr int64_t kFirstDecisionFrames = 50;
constexpr int64_t kEarlyDecisionFrames = 100;
constexpr int64_t kUnclearDecisionFrames = 200;
// A lag is taken once its correlation reaches this and beats every lag outside its
// neighbourhood by the margin, twice in a row, or once when it is this clear.
constexpr double kMinCorrelation = 0.45;
constexpr double kMinMargin = 0.1;
constexpr double kClearCorrelation = 0.8;
constexpr double kClearMargin = 0.25;
constexpr int kNeighbourhood = 4;
// Estimates this close to the delay in use do not move it: every move makes the canceller
// adapt again.
constexpr int kKeepWithinFrames = 2;
// This long with the loudspeakers playing and no delay found: the microphone does not hear them.
constexpr int64_t kNoEchoAfterFrames = 300;
constexpr float kUnknown = -1000.0f;
// The floor test looks at the last 6 s, at frames within 20 dB of the loudest reference frame,
// and wants at least 20 of them.
constexpr int64_t kSpreadFrames = 600;
constexpr float kLoudBelowPeakDb = 20.0f;
constexpr size_t kMinLoudFrames = 20;
// Measured: an echo alone spreads 0-3 dB, an echo under a local voice 3-9 dB, two unrelated
// voices 25-45 dB.
constexpr double kMaxSpreadDb = 12.0;
constexpr double kNoEchoSpreadDb = 15.0;
constexpr double kVeryClearCorrelation = 0.9;
constexpr double kVeryClearSpreadDb = 4.0;

}  // namespace

EchoDelayEstimator::EchoDelayEstimator()
    : far_(kCapacity, kUnknown), near_(kCapacity, kUnknown), sums_(kLags) {}

float EchoDelayEstimator::nearAt(int64_t frame) const {
  if (nearLast_ == INT64_MIN || frame > nearLast_ || frame <= nearLast_ - kCapacity)
    return kUnknown;
  return near_[static_cast<size_t>(frame % kCapacity)];
}

float EchoDelayEstimator::farAt(int64_t frame) const {
  if (farLast_ == INT64_MIN || frame > farLast_ || frame <= farLast_ - kCapacity ||
      frame < farFirst_)
    return kUnknown;
  return far_[static_cast<size_t>(frame % kCapacity)];
}

void EchoDelayEstimator::addFar(int64_t frame, float levelDb) {
  if (frame < 0) return;
  if (farLast_ == INT64_MIN) farFirst_ = frame;
  if (farLast_ != INT64_MIN && frame > farLast_ + 1) {
    for (int64_t f = std::max(farLast_ + 1, frame - kCapacity + 1); f < frame; ++f)
      far_[static_cast<size_t>(f % kCapacity)] = kFloorDb;  // nothing played meanwhile
  }
  far_[static_cast<size_t>(frame % kCapacity)] = std::max(levelDb, kFloorDb);
  farLast_ = std::max(farLast_, frame);
  while (!waiting_.empty() && waiting_.front().first - kMinLagFrames <= farLast_) {
    count(waiting_.front().first, waiting_.front().second);
    waiting_.pop_front();
  }
}

void EchoDelayEstimator::addNear(int64_t frame, float levelDb) {
  if (frame < 0) return;
  waiting_.emplace_back(frame, std::max(levelDb, kFloorDb));
  // A reference that stopped coming does not make the near frames pile up.
  while (waiting_.size() > static_cast<size_t>(kCapacity)) waiting_.pop_front();
  while (!waiting_.empty() && waiting_.front().first - kMinLagFrames <= farLast_ &&
         farLast_ != INT64_MIN) {
    count(waiting_.front().first, waiting_.front().second);
    waiting_.pop_front();
  }
}

// How far the microphone's level spreads below its typical level, relative to the loudspeakers'
// level `lag` frames before, over the frames where the loudspeakers were loud. An echo puts a
// floor under the microphone's level that follows the loudspeakers: the spread is a few dB even
// while the local user talks over it. An unrelated voice (headphones) pauses while the
// loudspeakers play: the spread is tens of dB, however well the two envelopes correlate.
std::optional<double> EchoDelayEstimator::spreadBelowDb(int lag) const {
  float loudest = kFloorDb;
  for (int64_t k = nearLast_ - kSpreadFrames + 1; k <= nearLast_; ++k) {
    const float far = farAt(k - lag);
    if (far != kUnknown) loudest = std::max(loudest, far);
  }
  std::vector<float> differences;
  for (int64_t k = nearLast_ - kSpreadFrames + 1; k <= nearLast_; ++k) {
    const float near = nearAt(k), far = farAt(k - lag);
    if (near == kUnknown || far == kUnknown || far < loudest - kLoudBelowPeakDb) continue;
    differences.push_back(near - far);
  }
  if (differences.size() < kMinLoudFrames) return std::nullopt;
  std::sort(differences.begin(), differences.end());
  return differences[differences.size() / 2] - differences[differences.size() / 10];
}

void EchoDelayEstimator::count(int64_t nearFrame, float nearLevel) {
  near_[static_cast<size_t>(nearFrame % kCapacity)] = nearLevel;
  nearLast_ = nearFrame;
  // Every lag needs its reference frame; before the reference began there is nothing to match.
  if (farAt(nearFrame - kMaxLagFrames) == kUnknown || farAt(nearFrame - kMinLagFrames) == kUnknown)
    return;
  bool playing = false;
  for (int i = 0; i < kLags; ++i) {
    const int lag = kMinLagFrames + i;
    float y = farAt(nearFrame - lag);
    if (y == kUnknown) y = kFloorDb;
    playing = playing || y > kPlayingDb;
    Sums& s = sums_[static_cast<size_t>(i)];
    s.n = s.n * kForget + 1;
    s.x = s.x * kForget + nearLevel;
    s.y = s.y * kForget + y;
    s.xx = s.xx * kForget + static_cast<double>(nearLevel) * nearLevel;
    s.yy = s.yy * kForget + static_cast<double>(y) * y;
    s.xy = s.xy * kForget + static_cast<double>(nearLevel) * y;
  }
  if (playing) ++loudspeakerFrames_;
  if (++counted_ % kDecideEveryFrames == 0 && counted_ >= kFirstDecisionFrames) decide();
}

void EchoDelayEstimator::decide() {
  std::vector<double> correlation(kLags, -1.0);
  for (int i = 0; i < kLags; ++i) {
    const Sums& s = sums_[static_cast<size_t>(i)];
    const double varX = s.xx / s.n - (s.x / s.n) * (s.x / s.n);
    const double varY = s.yy / s.n - (s.y / s.n) * (s.y / s.n);
    if (varX < 1.0 || varY < 1.0) continue;  // a level that hardly moves says nothing
    correlation[static_cast<size_t>(i)] =
        (s.xy / s.n - (s.x / s.n) * (s.y / s.n)) / std::sqrt(varX * varY);
  }
  const size_t best = static_cast<size_t>(std::max_element(correlation.begin(), correlation.end()) -
                                          correlation.begin());
  double rival = -1.0;
  for (size_t i = 0; i < correlation.size(); ++i) {
    if (std::abs(static_cast<int>(i) - static_cast<int>(best)) > kNeighbourhood)
      rival = std::max(rival, correlation[i]);
  }
  const int lag = static_cast<int>(best) + kMinLagFrames;
  // The best lag at the edge of the range may be a slope that rises beyond it.
  const auto spread = spreadBelowDb(lag);
  // Even the best match leaves the microphone's level without a floor: it hears no echo.
  spreadSaysNoEcho_ = spread && *spread > kNoEchoSpreadDb;
  if (correlation[best] < kMinCorrelation || correlation[best] - rival < kMinMargin ||
      lag == kMinLagFrames || lag == kMaxLagFrames || !spread || *spread > kMaxSpreadDb) {
    candidate_.reset();
    return;
  }
  // Twice in a row, unless very clear, so that a stretch of two voices cannot move the delay.
  const bool clear =
      correlation[best] >= kClearCorrelation && correlation[best] - rival >= kClearMargin;
  if (!clear && counted_ < kUnclearDecisionFrames) return;
  // The first half second counts only when it leaves no doubt.
  if (counted_ < kEarlyDecisionFrames &&
      (correlation[best] < kVeryClearCorrelation || *spread > kVeryClearSpreadDb))
    return;
  const bool confirmed = clear || (candidate_ && std::abs(*candidate_ - lag) <= kKeepWithinFrames);
  candidate_ = lag;
  if (!confirmed) return;
  if (!delay_ || std::abs(*delay_ - lag) > kKeepWithinFrames) delay_ = lag;
}

std::optional<bool> EchoDelayEstimator::echoHeard() const {
  if (delay_) return true;
  if (spreadSaysNoEcho_ || loudspeakerFrames_ >= kNoEchoAfterFrames) return false;
  return std::nullopt;
}

}  // namespace brimlow::stt
