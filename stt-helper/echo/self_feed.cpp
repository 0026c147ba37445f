#include "stt-helper/echo/self_feed.h"

#include <chrono>

#include "stt-helper/event_writer.h"

namespace brimlow::stt {

SelfAudioFeed::SelfAudioFeed(std::shared_ptr<SessionEcho> echo, asio::any_io_executor executor,
                             Deliver deliver, Report report)
    : echo_(std::move(echo)),
      executor_(std::move(executor)),
      timer_(executor_),
      deliver_(std::move(deliver)),
      report_(std::move(report)) {}

void SelfAudioFeed::append(const audio::PcmBufferPtr& buffer, double capturedAt) {
  deliver_(echo_->addSelf(buffer, capturedAt, nowMilliseconds()), true);
  if (auto failure = echo_->takeFailure()) report_("Echo cancellation is unavailable: " + *failure);
  wakeAtDeadline();
}

void SelfAudioFeed::addReference(const audio::PcmBuffer& buffer, double capturedAt) {
  if (echo_->addRemote(buffer, capturedAt, nowMilliseconds())) release();
}

void SelfAudioFeed::flush() {
  timer_.cancel();
  if (auto pieces = echo_->releaseAll(); !pieces.empty()) deliver_(pieces, false);
}

void SelfAudioFeed::reset() {
  timer_.cancel();
  echo_->resetSelf();
}

void SelfAudioFeed::release() {
  if (auto pieces = echo_->release(nowMilliseconds()); !pieces.empty()) deliver_(pieces, false);
  wakeAtDeadline();
}

void SelfAudioFeed::wakeAtDeadline() {
  const auto deadline = echo_->holdDeadline();
  if (!deadline) {
    timer_.cancel();
    return;
  }
  const double waitMs = std::max(0.0, *deadline - nowMilliseconds());
  timer_.expires_after(std::chrono::microseconds(static_cast<int64_t>(waitMs * 1000.0) + 1));
  timer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
    if (error) return;  // cancelled: what was held went on otherwise
    if (auto self = weak.lock()) self->release();
  });
}

}  // namespace brimlow::stt
