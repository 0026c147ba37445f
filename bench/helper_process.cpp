#include "bench/helper_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace brimlow::bench {

using namespace std::chrono_literals;

bool isType(const Event& e, const char* type) {
  return e.body.is_object() && e.body.value("type", "") == type;
}

HelperProcess::HelperProcess(const std::string& path, devtools::SpawnOptions options) {
  const auto child = devtools::spawnOnPipes(path, options);
  pid_ = child.pid;
  stdin_ = child.in;
  stdout_ = child.out;
  reader_ = std::thread([this] { readLoop(); });
}

HelperProcess::~HelperProcess() {
  closeStdin();
  if (pid_ > 0) {
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(50ms);
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  reader_.join();
  close(stdout_);
}

void HelperProcess::write(const std::string& text) {
  if (!devtools::writeAll(stdin_, text)) throw std::runtime_error("helper closed its input");
}

void HelperProcess::closeStdin() {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
}

int HelperProcess::finish() {
  closeStdin();
  const int code = devtools::waitForExitCode(pid_);
  pid_ = -1;
  return code;
}

bool HelperProcess::waitUntil(const std::function<bool(const std::vector<Event>&)>& done,
                              std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(events_) || ended_; }) &&
         done(events_);
}

void HelperProcess::waitIdle(std::chrono::milliseconds quiet,
                             std::optional<std::chrono::milliseconds> timeout) {
  const auto deadline = timeout ? std::optional(Clock::now() + *timeout) : std::nullopt;
  std::unique_lock lock(mutex_);
  while (!ended_ && (!deadline || Clock::now() < *deadline)) {
    const size_t seen = events_.size();
    const double cpu = cpuSeconds();
    changed_.wait_for(lock, quiet, [&] { return events_.size() != seen || ended_; });
    if (events_.size() == seen && cpuSeconds() - cpu < 0.02 * quiet.count() / 1000.0) return;
  }
}

std::vector<Event> HelperProcess::events() {
  std::lock_guard lock(mutex_);
  return events_;
}

size_t HelperProcess::invalidLines() {
  std::lock_guard lock(mutex_);
  return invalid_;
}

void HelperProcess::readLoop() {
  devtools::LineSplitter splitter;
  char block[65536];
  for (;;) {
    ssize_t n = read(stdout_, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const auto now = Clock::now();
    const auto lines = splitter.append(block, static_cast<size_t>(n));
    std::lock_guard lock(mutex_);
    for (const auto& line : lines) {
      auto body = nlohmann::json::parse(line, nullptr, false);
      if (body.is_discarded() || !body.is_object() || !body.contains("type"))
        ++invalid_;
      else
        events_.push_back({now, std::move(body)});
    }
    changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  if (!splitter.unfinished().empty()) ++invalid_;  // a last line without its line feed
  ended_ = true;
  changed_.notify_all();
}

}  // namespace brimlow::bench
