#pragma once
// Events as JSON lines on a descriptor: compact, keys sorted, raw UTF-8, "/" unescaped, and every
// line whole even when many threads write at once. Both programs' event writers sit on this.
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace brimlow::platform {

class JsonLineOutput {
 public:
  // `failurePrefix` starts the stderr line of an event that cannot be encoded.
  JsonLineOutput(int outFd, int errFd, std::string failurePrefix)
      : out_(outFd), err_(errFd), failurePrefix_(std::move(failurePrefix)) {}

  // Serialises outside the lock; only the two writes of one line are serialised. An event that
  // cannot be encoded (a non-finite number) is dropped with one line on stderr.
  void write(const nlohmann::json& event);

  // The JSON text of an event as write() would put it on one line, or the reason it cannot be.
  static bool encode(const nlohmann::json& event, std::string& text, std::string& failure);

  // For a process about to end: waits until the line being written is whole, then keeps every
  // later write out for good. Gives up after `timeout` (a host that stopped reading must not
  // keep the process alive); false then.
  bool holdForExit(std::chrono::milliseconds timeout);

 private:
  std::timed_mutex lock_;
  std::atomic<bool> held_ = false;
  int out_;
  int err_;
  std::string failurePrefix_;
};

}  // namespace brimlow::platform
