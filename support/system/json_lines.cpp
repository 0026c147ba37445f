#include "support/system/json_lines.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>

namespace brimlow::platform {

namespace {

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the host is gone or the descriptor is broken; nobody to tell
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// nlohmann writes NaN and infinity as null; an event must never carry a made-up null.
bool findNonFinite(const nlohmann::json& value, std::string& where) {
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

bool JsonLineOutput::encode(const nlohmann::json& event, std::string& text, std::string& failure) {
  std::string where;
  if (findNonFinite(event, where)) {
    failure = "Invalid number value (" + where + ") in JSON write";
    return false;
  }
  try {
    // Compact and raw UTF-8; nlohmann never escapes "/". Invalid UTF-8 (a path or locale
    // typed on the command line, say) becomes U+FFFD, so the event still reaches the host.
    text = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const nlohmann::json::exception& e) {
    failure = e.what();
    return false;
  }
  return true;
}

void JsonLineOutput::write(const nlohmann::json& event) {
  std::string text;
  std::string failure;
  if (!encode(event, text, failure)) {
    std::string line = failurePrefix_ + failure + "\n";
    writeAll(err_, line.data(), line.size());
    return;
  }
  // One write for the whole line where the pipe takes it, so the line never waits half-written.
  text.push_back('\n');
  if (held_) return;
  std::lock_guard guard(lock_);
  writeAll(out_, text.data(), text.size());
}

bool JsonLineOutput::holdForExit(std::chrono::milliseconds timeout) {
  held_ = true;  // later events stay out, so the writer of the current line is the only rival
  return lock_.try_lock_for(timeout);  // never released: the process ends holding it
}

}  // namespace brimlow::platform
