#include "stt-helper/echo/session_echo.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <mutex>

#include "stt-helper/echo/echo_delay.h"
#include "stt-helper/echo/echo_reference.h"

namespace brimlow::stt {

using namespace echo;

namespace {

// The loudspeakers count as playing for a microphone frame when one of this many reference frames
// before it (from the aligned delay back) was loud: where most of a room's echo comes from.
constexpr int64_t kTailFrames = 15;
// Below this mean square the loudspeakers count as silent (about -55 dBFS).
constexpr double kPlaying = 3.2e-6;
// After the alignment moves, the canceller takes about this long to learn the room again.
constexpr int64_t kSettleFrames = 200;
// The quietest frame's level follows quieter frames at once and louder ones slowly (about
// 1 dB/s); frames within 6 dB of it make up the background, averaged over about 200 ms.
constexpr double kBackgroundRise = 1.0023;
constexpr double kNearQuietest = 4.0;
constexpr double kBackgroundSmoothing = 0.05;
constexpr int64_t kBackgroundAfterFrames = 100;
// Half a second of the background is kept for replay.
constexpr size_t kBackgroundSamples = 50 * kFrame;

// Everything a session's echo processing holds, made with its first "self" audio.
struct State {
  Reference reference;
  EchoDelayEstimator delay;
  std::unique_ptr<audio::EchoCanceller> canceller;  // made when first needed
  bool cancellerFailed = false;

  // The "self" samples not yet processed, ending at nearEnd, and the chunks they came in.
  struct Chunk {
    int64_t start;  // sample index of its first sample
    double capturedAt;
    double arrival;
  };
  std::deque<int16_t> pending;
  std::deque<Chunk> chunks;
  std::optional<int64_t> nearEnd;

  std::optional<int> alignedDelay;        // the delay the canceller works with
  int64_t settledFrom = 0;                // the first frame after it settled on that delay
  double gain = 1.0;                      // of the frame before, for a ramp without clicks
  std::vector<int16_t> backgroundFrames;  // recent quiet frames, for replay
  size_t replayAt = 0;
  uint64_t noise = 1;          // state of the fill noise's generator
  double quietestHeard = 1.0;  // mean square of the quietest recent microphone frame
  int64_t framesHeard = 0;
  double quietest = 1.0;    // mean square of the quietest recent output frame
  double background = 0.0;  // mean square of the background around it
  bool gated = false;
};

}  // namespace

class SessionEcho::Impl {
 public:
  explicit Impl(SessionEchoSettings settings) : settings_(std::move(settings)) {}

  bool addRemote(const audio::PcmBuffer& buffer, double capturedAt, double now) {
    const int16_t* samples = buffer.int16ChannelData(0);
    std::lock_guard lock(mutex_);
    if (!state_ || !samples) return false;  // no "self" audio yet: nothing to cancel
    state_->reference.append(samples, buffer.frameLength(), capturedAt, now, state_->delay);
    return state_->pending.size() >= static_cast<size_t>(kFrame);
  }

  std::vector<TimedBuffer> addSelf(const audio::PcmBufferPtr& buffer, double capturedAt,
                                   double now) {
    std::lock_guard lock(mutex_);
    const int16_t* samples = buffer ? buffer->int16ChannelData(0) : nullptr;
    if (!samples || buffer->frameLength() == 0) return {};
    if (!state_) state_ = std::make_unique<State>();
    State& state = *state_;
    if (state.pending.empty() && (state.cancellerFailed || !state.reference.started())) {
      state.nearEnd.reset();  // the next chunk with a reference starts the stream again
      return {TimedBuffer{buffer, capturedAt}};
    }
    std::vector<TimedBuffer> out;
    const int64_t at = sampleIndexAt(capturedAt);
    if (state.nearEnd && std::abs(at - *state.nearEnd) > kJitterSamples) {
      // The host's clock jumped or audio is missing: what is held goes now, and the stream
      // starts again at the new time.
      process(now, true, out);
      flushRemainder(out);
    }
    if (!state.nearEnd) state.nearEnd = at;
    state.chunks.push_back({*state.nearEnd, capturedAt, now});
    state.pending.insert(state.pending.end(), samples, samples + buffer->frameLength());
    *state.nearEnd += buffer->frameLength();
    process(now, false, out);
    return out;
  }

  std::vector<TimedBuffer> release(double now) {
    std::lock_guard lock(mutex_);
    std::vector<TimedBuffer> out;
    if (state_) process(now, false, out);
    return out;
  }

  std::vector<TimedBuffer> releaseAll() {
    std::lock_guard lock(mutex_);
    std::vector<TimedBuffer> out;
    if (!state_) return out;
    process(std::numeric_limits<double>::infinity(), true, out);
    flushRemainder(out);
    return out;
  }

  std::optional<double> holdDeadline() const {
    std::lock_guard lock(mutex_);
    if (!state_ || state_->pending.size() < static_cast<size_t>(kFrame)) return std::nullopt;
    return chunkAt(pendingStart()).arrival + settings_.holdMs;
  }

  void resetSelf() {
    std::lock_guard lock(mutex_);
    if (!state_) return;
    state_->pending.clear();
    state_->chunks.clear();
    state_->nearEnd.reset();
  }

  std::optional<std::string> takeFailure() {
    std::lock_guard lock(mutex_);
    return std::exchange(failure_, std::nullopt);
  }

  std::optional<int> delayMs() const {
    std::lock_guard lock(mutex_);
    if (!state_ || !state_->delay.verdict().delayFrames) return std::nullopt;
    return *state_->delay.verdict().delayFrames * 10;
  }

  std::optional<bool> echoHeard() const {
    std::lock_guard lock(mutex_);
    return state_ ? state_->delay.verdict().echoHeard : std::nullopt;
  }

 private:
  // The canceller, made when there is first something to cancel; false when it cannot be made.
  bool haveCanceller() {
    State& state = *state_;
    if (!state.canceller && !state.cancellerFailed) {
      auto canceller = audio::EchoCanceller::make(settings_.canceller);
      if (canceller) {
        state.canceller = std::move(canceller.value());
      } else {
        state.cancellerFailed = true;
        failure_ = canceller.error();
      }
    }
    return state.canceller != nullptr;
  }

  int64_t pendingStart() const {
    return *state_->nearEnd - static_cast<int64_t>(state_->pending.size());
  }

  // The last chunk that starts at or before `index`.
  const State::Chunk& chunkAt(int64_t index) const {
    const auto& chunks = state_->chunks;
    auto it = std::upper_bound(chunks.begin(), chunks.end(), index,
                               [](int64_t i, const State::Chunk& c) { return i < c.start; });
    return it == chunks.begin() ? chunks.front() : *std::prev(it);
  }

  double capturedAtOf(int64_t index) const {
    const State::Chunk& chunk = chunkAt(index);
    return chunk.capturedAt +
           static_cast<double>(index - chunk.start) / static_cast<double>(kSamplesPerMs);
  }

  // The reference sample the canceller takes with the microphone sample at `nearIndex`: the
  // estimated delay less the small delay the canceller works best with.
  int64_t referenceIndexFor(int64_t nearIndex) const {
    const auto delay = state_->delay.verdict().delayFrames;
    const int64_t lagMs = delay ? static_cast<int64_t>(*delay) * 10 - settings_.targetDelayMs : 0;
    return nearIndex - lagMs * kSamplesPerMs;
  }

  // Works off the whole frames held: each goes once its reference has come, once it has waited
  // holdMs, or at once with `force`; without a remote stream frames pass unchanged.
  void process(double now, bool force, std::vector<TimedBuffer>& out) {
    State& state = *state_;
    if (!state.nearEnd) return;
    audio::PcmBufferPtr piece;
    int64_t pieceStart = 0;
    while (state.pending.size() >= static_cast<size_t>(kFrame)) {
      const int64_t start = pendingStart();
      const int64_t referenceAt = referenceIndexFor(start);
      const Step step = stepFor(start, referenceAt, now, force);
      if (step == Step::wait) break;
      if (!piece) {
        const size_t frames = state.pending.size() / static_cast<size_t>(kFrame);
        piece =
            audio::PcmBuffer::make(audio::pcm16Mono16k(), static_cast<uint32_t>(frames * kFrame));
        if (!piece) break;  // no memory now: the audio stays held
        pieceStart = start;
      }
      int16_t* frame = piece->int16ChannelData(0) + piece->frameLength();
      std::copy_n(state.pending.begin(), kFrame, frame);
      if (step == Step::cancel) cancel(frame, start, referenceAt);
      piece->setFrameLength(piece->frameLength() + static_cast<uint32_t>(kFrame));
      state.pending.erase(state.pending.begin(), state.pending.begin() + kFrame);
      while (state.chunks.size() > 1 && state.chunks[1].start <= pendingStart())
        state.chunks.pop_front();
    }
    if (piece) out.push_back({piece, capturedAtOf(pieceStart)});
  }

  enum class Step { wait, cancel, pass };

  // What becomes of the microphone frame at `start` now.
  Step stepFor(int64_t start, int64_t referenceAt, double now, bool force) {
    const Reference& reference = state_->reference;
    const int64_t missing = reference.started() ? referenceAt + kFrame - reference.end()
                                                : std::numeric_limits<int64_t>::max();
    if (missing <= 0) return haveCanceller() ? Step::cancel : Step::pass;
    // Its reference is still to come: while the "remote" stream keeps coming, it waits holdMs.
    const bool coming =
        reference.started() && now - reference.lastArrival() <= settings_.remoteIdleMs;
    const bool waited = now >= chunkAt(start).arrival + settings_.holdMs;
    if (coming && !waited && !force) return Step::wait;
    // On without it: through the canceller while the "remote" stream runs just behind, so that
    // the canceller keeps its place; untouched once that stream has stopped.
    const bool justBehind = missing <= static_cast<int64_t>(settings_.remoteIdleMs) * kSamplesPerMs;
    return justBehind && haveCanceller() ? Step::cancel : Step::pass;
  }

  // Less than a frame left at the end of the stream: it goes as it is.
  void flushRemainder(std::vector<TimedBuffer>& out) {
    State& state = *state_;
    if (!state.pending.empty()) {
      auto piece = audio::PcmBuffer::make(audio::pcm16Mono16k(),
                                          static_cast<uint32_t>(state.pending.size()));
      if (piece) {
        std::copy(state.pending.begin(), state.pending.end(), piece->int16ChannelData(0));
        piece->setFrameLength(static_cast<uint32_t>(state.pending.size()));
        out.push_back({piece, capturedAtOf(pendingStart())});
      }
    }
    state.pending.clear();
    state.chunks.clear();
    state.nearEnd.reset();
  }

  void cancel(int16_t* frame, int64_t nearIndex, int64_t referenceAt) {
    State& state = *state_;
    const double before = meanSquare(frame, kFrame);
    const int64_t nearFrame = floorDiv(nearIndex, kFrame);
    state.delay.addNear(nearFrame, static_cast<float>(decibels(before)));
    // A microphone that does not hear the loudspeakers (headphones) is left as it is: a
    // canceller with nothing to cancel only damages the voice.
    const EchoDelayEstimator::Verdict verdict = state.delay.verdict();
    const std::optional<bool> heard = verdict.echoHeard;
    if (heard == false) return;
    int16_t reference[kFrame];
    const bool withReference = state.reference.read(referenceAt, reference, kFrame);
    // Where the echo can come from, given what is known of the delay.
    const int64_t newest = heard ? floorDiv(referenceAt, kFrame) - settings_.targetDelayMs / 10
                                 : nearFrame - EchoDelayEstimator::kMinLagFrames;
    const int64_t oldest =
        heard ? newest - kTailFrames : nearFrame - EchoDelayEstimator::kMaxLagFrames;
    const double loudspeakers = state.reference.loudest(oldest, newest);
    if (loudspeakers <= kPlaying && state.reference.known(oldest, newest))
      rememberBackground(frame, before);
    const audio::EchoFrameResult result = state.canceller->process(frame, reference);
    if (!settings_.gate) return;
    const double after = meanSquare(frame, kFrame);
    trackBackgroundLevel(after);
    // Without its reference a frame is judged like the one before it.
    if (withReference || !heard)
      state.gated = isEchoOnly(nearFrame, referenceAt, after, loudspeakers, result, verdict);
    applyGate(frame);
  }

  // The microphone's own background: frames, while the loudspeakers are silent, about as quiet
  // as the quietest it recently delivered hold neither voice nor echo. The last half second of
  // them is kept.
  void rememberBackground(const int16_t* frame, double level) {
    State& state = *state_;
    state.quietestHeard = std::min(level, state.quietestHeard * kBackgroundRise);
    // The quietest frame needs a second to be found.
    if (++state.framesHeard < kBackgroundAfterFrames || level > state.quietestHeard * kNearQuietest)
      return;
    state.backgroundFrames.insert(state.backgroundFrames.end(), frame, frame + kFrame);
    if (state.backgroundFrames.size() > kBackgroundSamples)
      state.backgroundFrames.erase(state.backgroundFrames.begin(),
                                   state.backgroundFrames.begin() + kFrame);
  }

  // The background's level after the canceller: the quietest recent frames mark where it lies;
  // its level is the average of the frames near them.
  void trackBackgroundLevel(double level) {
    State& state = *state_;
    state.quietest = std::min(level, state.quietest * kBackgroundRise);
    if (level <= state.quietest * kNearQuietest)
      state.background += kBackgroundSmoothing * (level - state.background);
    state.background = std::min(state.background, state.quietest * kNearQuietest);
  }

  // Whether what the canceller left of a frame is echo and nothing else.
  bool isEchoOnly(int64_t nearFrame, int64_t referenceAt, double after, double loudspeakers,
                  const audio::EchoFrameResult& result,
                  const EchoDelayEstimator::Verdict& verdict) {
    State& state = *state_;
    const std::optional<bool> heard = verdict.echoHeard;
    // The canceller learns the room anew after the alignment moved.
    if (verdict.delayFrames != state.alignedDelay) {
      state.alignedDelay = verdict.delayFrames;
      state.settledFrom = nearFrame + kSettleFrames;
    }
    if (!heard || nearFrame < state.settledFrom) {
      // Until the echo is found, and while the canceller settles, it may be looking in the
      // wrong place: while the loudspeakers play where the echo can come from, what is not
      // louder than them is taken for echo. This costs the local voice at most the first
      // seconds of the other side.
      return loudspeakers > kPlaying &&
             decibels(after) <= decibels(loudspeakers) + settings_.startupMarginDb;
    }
    // Settled: the linear filter's prediction says how much of the frame was echo; what it
    // left being well below that is the rest of the echo, not a voice.
    const int64_t newest = floorDiv(referenceAt, kFrame);
    const bool playing = state.reference.loudest(newest - kTailFrames, newest) > kPlaying;
    return playing && result.predictedEcho > kPlaying * 0.01 &&
           decibels(result.afterLinear) <= decibels(result.predictedEcho) - settings_.gateMarginDb;
  }

  // A frame that holds only what is left of the echo is replaced by the microphone's own
  // background, replayed from the frames kept, or, before any was kept, by a noise at the
  // background's level. Silence, or a background that comes and goes with the other side's
  // speech, would sound like speech to the recognizer. The change ramps over the frame, so that
  // turning down and up again makes no click.
  void applyGate(int16_t* frame) {
    State& state = *state_;
    const double target = state.gated ? 0.0 : 1.0;
    const bool replay = !state.backgroundFrames.empty();
    // Uniform noise of this amplitude has the background's mean square.
    const double amplitude = std::sqrt(3.0 * state.background) * 32768.0;
    for (int64_t i = 0; i < kFrame; ++i) {
      const double gain = state.gain + (target - state.gain) * static_cast<double>(i + 1) / kFrame;
      double fill = 0;
      if (gain < 1.0 && replay) {
        state.replayAt %= state.backgroundFrames.size();
        fill = state.backgroundFrames[state.replayAt++];
      } else if (gain < 1.0) {
        state.noise = state.noise * 6364136223846793005ULL + 1442695040888963407ULL;
        fill = amplitude * (static_cast<double>(state.noise >> 11) * 0x1.0p-52 - 1.0);
      }
      const double value = frame[i] * gain + fill * (1.0 - gain);
      frame[i] = static_cast<int16_t>(std::clamp(std::lrint(value), -32768L, 32767L));
    }
    state.gain = target;
  }

  const SessionEchoSettings settings_;
  mutable std::mutex mutex_;
  std::unique_ptr<State> state_;
  std::optional<std::string> failure_;
};

SessionEcho::SessionEcho(SessionEchoSettings settings)
    : impl_(std::make_unique<Impl>(std::move(settings))) {}
SessionEcho::~SessionEcho() = default;

bool SessionEcho::addRemote(const audio::PcmBuffer& buffer, double capturedAt, double now) {
  return impl_->addRemote(buffer, capturedAt, now);
}
std::vector<TimedBuffer> SessionEcho::addSelf(const audio::PcmBufferPtr& buffer, double capturedAt,
                                              double now) {
  return impl_->addSelf(buffer, capturedAt, now);
}
std::vector<TimedBuffer> SessionEcho::release(double now) {
  return impl_->release(now);
}
std::vector<TimedBuffer> SessionEcho::releaseAll() {
  return impl_->releaseAll();
}
std::optional<double> SessionEcho::holdDeadline() const {
  return impl_->holdDeadline();
}
void SessionEcho::resetSelf() {
  impl_->resetSelf();
}
std::optional<std::string> SessionEcho::takeFailure() {
  return impl_->takeFailure();
}
std::optional<int> SessionEcho::delayMs() const {
  return impl_->delayMs();
}
std::optional<bool> SessionEcho::echoHeard() const {
  return impl_->echoHeard();
}

}  // namespace brimlow::stt
