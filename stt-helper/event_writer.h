#pragma once
// The one event writer of brimlow-stt-helper: every event is one compact JSON line with sorted
// keys on standard output, written unbuffered so the host sees it at once.
#include <memory>
#include <optional>
#include <string>

#include "protocol/helper_events.h"
#include "support/system/json_lines.h"

namespace brimlow::stt {

// Wall-clock milliseconds since the Unix epoch, fraction kept.
double nowMilliseconds();

// Speech permission state to "not-determined", "denied", "restricted", "authorized" or "unknown".
std::string authorizationLabel(int status);

class JSONLineWriter {
 public:
  // Writes to the given descriptors; the process writer uses 1 and 2.
  explicit JSONLineWriter(int stdoutFd = 1, int stderrFd = 2)
      : output_(stdoutFd, stderrFd, "Failed to encode helper event: ") {}

  // Serialises outside the lock; only the two writes of one line are serialised. An event that
  // cannot be encoded (a non-finite number) is dropped with one line on stderr.
  void write(const Event& event);
  // A "helper.error" with the session and source only where given.
  void error(const std::string& message, const std::optional<std::string>& sessionId,
             const std::optional<AudioSource>& source);

  // The JSON text of an event as write() would put it on one line, or the reason it cannot be.
  static bool encode(const Event& event, std::string& text, std::string& failure);

  // Before the process ends by a signal: lets the line being written finish and keeps every
  // later event out; gives up after `timeout`.
  bool holdForExit(std::chrono::milliseconds timeout) { return output_.holdForExit(timeout); }

 private:
  platform::JsonLineOutput output_;
};

using WriterPtr = std::shared_ptr<JSONLineWriter>;

}  // namespace brimlow::stt
