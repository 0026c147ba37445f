#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "devtools/child_process.h"

namespace brimlow::testing {

namespace {

int remainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, Options options) {
  // A host that closed our pipe must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  devtools::SpawnOptions spawn;
  spawn.args = std::move(options.args);
  spawn.env = std::move(options.env);
  spawn.clearEnvironment = options.clearEnvironment;
  spawn.stderrTo = devtools::ChildStderr::pipe;
  // The child starts with default signal handling, whatever the test runner set.
  spawn.unblockSignals = true;
  spawn.defaultSignals = true;
  const auto child = devtools::spawnOnPipes(path, spawn);
  pid_ = child.pid;
  stdin_ = child.in;
  stdout_ = child.out;
  stderr_ = child.err;
  ::fcntl(stderr_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (stdin_ >= 0) ::close(stdin_);
  if (stdout_ >= 0) ::close(stdout_);
  if (stderr_ >= 0) ::close(stderr_);
}

void ChildProcess::write(const std::string& text) {
  // A chatty child must not block on a full stderr pipe; a child that closed its input is
  // noticed through its output.
  devtools::writeAll(stdin_, text, [this] { drainStderr(false); });
}

void ChildProcess::writeLine(const std::string& line) {
  write(line + "\n");
}

void ChildProcess::writeJson(const nlohmann::json& json) {
  writeLine(json.dump());
}

void ChildProcess::closeStdin() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

bool ChildProcess::fillStdout(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    drainStderr(false);
    pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
    int wait = std::min(remainingMs(deadline), 50);
    int rc = ::poll(fds, 2, wait);
    if (rc < 0 && errno == EINTR) continue;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char chunk[65536];
      ssize_t n = ::read(stdout_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        outEnded_ = true;
        return false;
      }
      outBuffer_.append(chunk, static_cast<size_t>(n));
      return true;
    }
    if (remainingMs(deadline) == 0) return false;
  }
}

void ChildProcess::drainStderr(bool block) {
  if (stderr_ < 0) return;
  if (block) ::fcntl(stderr_, F_SETFL, 0);
  char chunk[8192];
  for (;;) {
    ssize_t n = ::read(stderr_, chunk, sizeof chunk);
    if (n > 0) {
      errBuffer_.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  if (block) ::fcntl(stderr_, F_SETFL, O_NONBLOCK);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto newline = outBuffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = outBuffer_.substr(0, newline);
      outBuffer_.erase(0, newline + 1);
      return line;
    }
    if (outEnded_) {
      if (outBuffer_.empty()) return std::nullopt;
      std::string line;
      line.swap(outBuffer_);
      return line;  // a last line without "\n" is returned so tests can see it is unterminated
    }
    if (!fillStdout(deadline) && !outEnded_) return std::nullopt;
  }
}

bool ChildProcess::waitForOutput(std::chrono::milliseconds timeout) {
  if (!outBuffer_.empty()) return true;
  pollfd fd = {stdout_, POLLIN, 0};
  return ::poll(&fd, 1, static_cast<int>(timeout.count())) > 0 && (fd.revents & POLLIN);
}

std::optional<nlohmann::json> ChildProcess::readEvent(std::chrono::milliseconds timeout) {
  auto line = readLine(timeout);
  if (!line) return std::nullopt;
  try {
    return nlohmann::json::parse(*line);
  } catch (const nlohmann::json::exception&) {
    ADD_FAILURE() << "stdout line is not JSON: " << *line;
    return std::nullopt;
  }
}

std::optional<nlohmann::json> ChildProcess::readEventOfType(const std::string& type,
                                                            std::chrono::milliseconds timeout,
                                                            std::vector<nlohmann::json>* skipped) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto event = readEvent(left);
    if (!event) return std::nullopt;
    if (event->is_object() && event->value("type", "") == type) return event;
    if (skipped) skipped->push_back(*event);
  }
}

std::vector<std::string> ChildProcess::readAllLines(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::string> lines;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    auto line = readLine(left);
    if (!line) break;
    lines.push_back(*line);
  }
  return lines;
}

bool ChildProcess::quietFor(std::chrono::milliseconds window) {
  auto deadline = std::chrono::steady_clock::now() + window;
  if (outBuffer_.find('\n') != std::string::npos) return false;
  while (!outEnded_ && remainingMs(deadline) > 0) {
    fillStdout(deadline);
    if (outBuffer_.find('\n') != std::string::npos) return false;
  }
  return outBuffer_.empty();
}

void ChildProcess::sendSignal(int signal) {
  ::kill(pid_, signal);
}

ExitStatus ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t rc = ::waitpid(pid_, &status, WNOHANG);
    if (rc == pid_) {
      ExitStatus result;
      if (WIFEXITED(status)) {
        result.exited = true;
        result.code = WEXITSTATUS(status);
      } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
      }
      status_ = result;
      drainStderr(true);
      return result;
    }
    if (remainingMs(deadline) == 0) {
      ExitStatus result;
      result.timedOut = true;
      return result;
    }
    drainStderr(false);
    // Await the child's end on its pidfd (or stderr activity); fall back to a short poll
    // interval where pidfds are unavailable.
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    pollfd fds[2] = {{pidfd, POLLIN, 0}, {stderr_, POLLIN, 0}};
    int slice =
        pidfd >= 0 ? std::min(remainingMs(deadline), 1000) : std::min(remainingMs(deadline), 5);
    ::poll(pidfd >= 0 ? fds : fds + 1, pidfd >= 0 ? 2 : 1, slice);
    if (pidfd >= 0) ::close(pidfd);
  }
}

std::string ChildProcess::stderrText() {
  drainStderr(false);
  return errBuffer_;
}

std::string binaryPath(const std::string& name) {
  return std::string(BRIMLOW_BINARY_DIR) + "/" + name;
}

}  // namespace brimlow::testing
