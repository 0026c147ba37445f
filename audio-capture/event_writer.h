#pragma once
// The one event writer of brimlow-audio-capture: every event is one compact JSON line with sorted
// keys on standard output, written unbuffered so the host sees it at once.
#include <memory>
#include <optional>
#include <string>

#include "protocol/capture_events.h"
#include "support/system/json_lines.h"

namespace brimlow::capture {

// Wall-clock milliseconds since the Unix epoch, fraction kept.
double nowMilliseconds();

class EventWriter {
 public:
  // Writes to the given descriptors; the process writer uses 1 and 2.
  explicit EventWriter(int stdoutFd = 1, int stderrFd = 2)
      : output_(stdoutFd, stderrFd, "Failed to encode capture event: ") {}

  // Serialises outside the lock; only the two writes of one line are serialised. An event that
  // cannot be encoded (a non-finite number) is dropped with one line on stderr.
  void write(const Event& event);
  // {"type":"capture.error","message":...,"at":...}
  void error(const std::string& message);
  // {"type":"capture.status","state":...,"message":...,"at":...} plus "available" when given.
  void status(const std::string& state, const std::string& message,
              std::optional<bool> available = std::nullopt);

 private:
  platform::JsonLineOutput output_;
};

using WriterPtr = std::shared_ptr<EventWriter>;

}  // namespace brimlow::capture
