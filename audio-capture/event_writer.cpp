#include "audio-capture/event_writer.h"

#include "platform/system/system.h"

namespace brimlow::capture {

double nowMilliseconds() {
  return platform::wallClockMilliseconds();
}

void EventWriter::write(const Event& event) {
  output_.write(event);
}

void EventWriter::error(const std::string& message) {
  write({{"type", "capture.error"}, {"message", message}, {"at", nowMilliseconds()}});
}

void EventWriter::status(const std::string& state, const std::string& message,
                         std::optional<bool> available) {
  Event event = {{"type", "capture.status"},
                 {"state", state},
                 {"message", message},
                 {"at", nowMilliseconds()}};
  if (available) event["available"] = *available;
  write(event);
}

}  // namespace brimlow::capture
