#include "support/system/system.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <sstream>

namespace brimlow::platform {

std::string OsVersion::toString() const {
  std::ostringstream out;
  out << major << '.' << minor << '.' << patch;
  return out.str();
}

std::optional<OsVersion> OsVersion::parse(const std::string& text) {
  OsVersion v;
  int* parts[] = {&v.major, &v.minor, &v.patch};
  size_t index = 0;
  size_t pos = 0;
  if (text.empty()) return std::nullopt;
  while (pos <= text.size()) {
    if (index == 3) return std::nullopt;
    size_t end = text.find('.', pos);
    if (end == std::string::npos) end = text.size();
    if (end == pos || end - pos > 6) return std::nullopt;
    int value = 0;
    for (size_t i = pos; i < end; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      value = value * 10 + (text[i] - '0');
    }
    *parts[index++] = value;
    pos = end + 1;
  }
  return v;
}

OsVersion linuxReportedOsVersion(const char* chosen) {
  if (chosen) {
    if (auto parsed = OsVersion::parse(chosen)) return *parsed;
  }
  return OsVersion{26, 0, 0};
}

namespace {
std::shared_mutex clockMutex;
std::function<double()>& clockOverride() {
  static std::function<double()> clock;
  return clock;
}
}  // namespace

double wallClockMilliseconds() {
  {
    std::shared_lock lock(clockMutex);
    if (clockOverride()) return clockOverride()();
  }
  auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double, std::milli>(since).count();
}

void setClockForTesting(std::function<double()> clock) {
  std::unique_lock lock(clockMutex);
  clockOverride() = std::move(clock);
}

std::optional<std::string> executablePath() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace brimlow::platform
