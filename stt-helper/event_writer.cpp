#include "stt-helper/event_writer.h"

#include "support/system/system.h"

namespace brimlow::stt {

double nowMilliseconds() {
  return platform::wallClockMilliseconds();
}

std::string authorizationLabel(int status) {
  switch (status) {
    case 0:
      return "not-determined";
    case 1:
      return "denied";
    case 2:
      return "restricted";
    case 3:
      return "authorized";
    default:
      return "unknown";
  }
}

bool JSONLineWriter::encode(const Event& event, std::string& text, std::string& failure) {
  return platform::JsonLineOutput::encode(event, text, failure);
}

void JSONLineWriter::write(const Event& event) {
  output_.write(event);
}

void JSONLineWriter::error(const std::string& message, const std::optional<std::string>& sessionId,
                           const std::optional<AudioSource>& source) {
  write(stt::encode(HelperError{message, sessionId, source, nowMilliseconds()}));
}

}  // namespace brimlow::stt
