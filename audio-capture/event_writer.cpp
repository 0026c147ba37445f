#include "audio-capture/event_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "platform/system/system.h"

namespace brimlow::capture {

namespace {

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the host is gone; nobody to tell
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// nlohmann writes NaN and infinity as null; an event must never carry a made-up null.
bool findNonFinite(const Event& value, std::string& where) {
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (std::isfinite(d)) return false;
    where = std::isnan(d) ? "NaN" : "infinity";
    return true;
  }
  if (value.is_object()) {
    for (const auto& [key, item] : value.items()) {
      if (findNonFinite(item, where)) {
        where += " in \"" + key + "\"";
        return true;
      }
    }
  } else if (value.is_array()) {
    for (const auto& item : value)
      if (findNonFinite(item, where)) return true;
  }
  return false;
}

}  // namespace

double nowMilliseconds() {
  return platform::wallClockMilliseconds();
}

void EventWriter::write(const Event& event) {
  std::string text;
  std::string failure;
  std::string where;
  if (findNonFinite(event, where)) {
    failure = "Invalid number value (" + where + ") in JSON write";
  } else {
    try {
      // Compact and raw UTF-8; nlohmann never escapes "/". Invalid UTF-8 (a path or locale
      // typed on the command line, say) becomes U+FFFD, so the event still reaches the host.
      text = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const nlohmann::json::exception& e) {
      failure = e.what();
    }
  }
  if (!failure.empty()) {
    std::string line = "Failed to encode capture event: " + failure + "\n";
    writeAll(err_, line.data(), line.size());
    return;
  }
  std::lock_guard guard(lock_);
  writeAll(out_, text.data(), text.size());
  writeAll(out_, "\n", 1);
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
