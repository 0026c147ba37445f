#include "audio-capture/event_writer.h"

#include "support/system/system.h"

namespace brimlow::capture {

double nowMilliseconds() {
  return platform::wallClockMilliseconds();
}

void EventWriter::write(const Event& event) {
  output_.write(event);
}

void EventWriter::error(const std::string& message) {
  write(encode(CaptureErrorEvent{message, nowMilliseconds()}));
}

void EventWriter::status(const std::string& state, const std::string& message,
                         std::optional<bool> available) {
  write(encode(CaptureStatus{state, message, available, nowMilliseconds()}));
}

}  // namespace brimlow::capture
