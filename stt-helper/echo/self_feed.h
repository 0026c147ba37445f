#pragma once
// The "self" side of a session's echo processing, on one serial executor: chunks go in, what may
// go on is handed to `deliver` in order, and audio held for its reference goes on by itself once
// it has waited long enough. Both backends route a session's "self" audio through one of these
// when echo cancellation is on.
//
// Threads: every call on `executor`; `deliver` and `report` run there too.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>

#include "stt-helper/echo/session_echo.h"

namespace brimlow::stt {

class SelfAudioFeed : public std::enable_shared_from_this<SelfAudioFeed> {
 public:
  // The pieces that may go on now, in order; `ofChunk` when they are what a new chunk let go
  // (possibly none), rather than audio that was held.
  using Deliver = std::function<void(const std::vector<TimedBuffer>& pieces, bool ofChunk)>;
  using Report = std::function<void(const std::string& message)>;

  SelfAudioFeed(std::shared_ptr<SessionEcho> echo, asio::any_io_executor executor, Deliver deliver,
                Report report);

  // One "self" chunk.
  void append(const audio::PcmBufferPtr& buffer, double capturedAt);
  // "remote" audio, the reference; held audio that it lets go goes on.
  void addReference(const audio::PcmBuffer& buffer, double capturedAt);
  // The session ends: everything held goes on now.
  void flush();
  // The channel was cancelled: what is held is dropped.
  void reset();

  const asio::any_io_executor& executor() const { return executor_; }

 private:
  void release();
  void wakeAtDeadline();

  std::shared_ptr<SessionEcho> echo_;
  asio::any_io_executor executor_;
  asio::steady_timer timer_;
  Deliver deliver_;
  Report report_;
};

}  // namespace brimlow::stt
