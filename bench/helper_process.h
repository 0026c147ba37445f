#pragma once
// brimlow-stt-helper as a child process, driven as a host drives it: commands written to its
// standard input, and a reader thread that records every event with the time it was read.
// Shared by helper-bench and soak.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "devtools/child_process.h"

namespace brimlow::bench {

using Clock = std::chrono::steady_clock;

struct Event {
  Clock::time_point at;  // when its line was read
  nlohmann::json body;   // a JSON object with a "type"
};

bool isType(const Event& e, const char* type);

class HelperProcess {
 public:
  // Starts `path`; throws std::runtime_error when it cannot.
  explicit HelperProcess(const std::string& path, devtools::SpawnOptions options = {});
  // Closes its input and waits up to 5 s for it to end, then kills it.
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Throws std::runtime_error once the helper has closed its input.
  void write(const std::string& text);
  void send(const nlohmann::json& command) { write(command.dump() + "\n"); }
  void closeStdin();
  // Closes its input and waits for the helper to end: its exit code (128 + signal when killed).
  int finish();

  // Waits until `done` holds for the events so far; false at the deadline or when the output
  // ended without it.
  bool waitUntil(const std::function<bool(const std::vector<Event>&)>& done,
                 std::chrono::milliseconds timeout);
  // Waits until no event has arrived and the helper has used almost no CPU for `quiet` (or
  // until `timeout`, or the end of its output): the helper may hold results back until a
  // stopped channel has decoded all it was given.
  void waitIdle(std::chrono::milliseconds quiet,
                std::optional<std::chrono::milliseconds> timeout = std::nullopt);
  std::vector<Event> events();
  // Lines that were not a JSON object with a "type", an unterminated last line included.
  size_t invalidLines();

  // User plus system CPU seconds so far; a "kB" field of /proc/<pid>/status.
  double cpuSeconds() const { return devtools::cpuSeconds(pid_); }
  long statusKb(const char* key) const { return devtools::statusKb(pid_, key); }

 private:
  void readLoop();

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  size_t invalid_ = 0;
  bool ended_ = false;
};

}  // namespace brimlow::bench
