#pragma once
// What the helpers need of the operating system itself: its version, the wall clock, the
// executable's own path. Helper code asks these questions only through this header.
#include <atomic>
#include <compare>
#include <functional>
#include <optional>
#include <string>

namespace brimlow::platform {

// A dotted version such as 26.0.0, ordered component by component.
struct OsVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
  auto operator<=>(const OsVersion&) const = default;
  std::string toString() const;
  // Parses "15", "15.1" or "15.1.2"; nothing on anything else.
  static std::optional<OsVersion> parse(const std::string& text);
};

// The system this build stands in for reports itself as current (26.0); `chosen` (the programs'
// BRIMLOW_PLATFORM_VERSION, for example "15.0") makes it report an older one. Null or an
// unparsable value is ignored.
OsVersion linuxReportedOsVersion(const char* chosen);

// Wall-clock milliseconds since the Unix epoch, fraction kept. Every timestamp and every
// time-based rule of both programs reads this one clock.
double wallClockMilliseconds();

// Tests replace the clock with one they advance by hand. Pass an empty function to restore the
// real clock. Not meant to be swapped while other threads read it.
void setClockForTesting(std::function<double()> clock);

// A clock that tests move forward explicitly; install() makes it the process clock.
class ManualClock {
 public:
  explicit ManualClock(double startMs = 1'700'000'000'000.0) : nowMs_(startMs) {}
  double now() const { return nowMs_.load(); }
  void advance(double ms) { nowMs_.store(nowMs_.load() + ms); }
  void set(double ms) { nowMs_.store(ms); }
  void install() {
    setClockForTesting([this] { return now(); });
  }

 private:
  std::atomic<double> nowMs_;
};

// Path of the running executable (/proc/self/exe), or nothing when it cannot be read.
std::optional<std::string> executablePath();

}  // namespace brimlow::platform
