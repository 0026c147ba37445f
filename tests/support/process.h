#pragma once
// Drives a program as a host would: pipes on stdin, stdout and stderr, lines written and read
// with deadlines, signals, exit status.
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace brimlow::testing {

using namespace std::chrono_literals;

struct ExitStatus {
  bool exited = false;    // ended by exit()
  int code = -1;          // exit code when exited
  int signal = 0;         // terminating signal otherwise
  bool timedOut = false;  // still running at the deadline
};

class ChildProcess {
 public:
  struct Options {
    std::vector<std::string> args;                          // after argv[0]
    std::map<std::string, std::optional<std::string>> env;  // set, or unset with nullopt
    bool clearEnvironment = false;
  };

  // Starts `path` with argv[0] = path. Throws std::runtime_error when it cannot start.
  ChildProcess(const std::string& path, Options options);
  ChildProcess(const std::string& path, std::vector<std::string> args = {})
      : ChildProcess(path, Options{std::move(args), {}, false}) {}
  ~ChildProcess();  // kills a child that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  void write(const std::string& text);         // as is
  void writeLine(const std::string& line);     // plus "\n"
  void writeJson(const nlohmann::json& json);  // one compact line
  void closeStdin();

  // The next stdout line without its "\n", or nothing at end of output or at the deadline.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 10s);
  // The next line parsed as JSON; a line that is not JSON fails the calling test.
  std::optional<nlohmann::json> readEvent(std::chrono::milliseconds timeout = 10s);
  // Reads events until one matches `type` (and returns it), skipping others into `skipped`.
  std::optional<nlohmann::json> readEventOfType(const std::string& type,
                                                std::chrono::milliseconds timeout = 10s,
                                                std::vector<nlohmann::json>* skipped = nullptr);
  // Every remaining stdout line until end of output (or the deadline).
  std::vector<std::string> readAllLines(std::chrono::milliseconds timeout = 10s);
  // True once stdout has bytes to read (read or not yet), without taking a line.
  bool waitForOutput(std::chrono::milliseconds timeout = 10s);
  // True when no line arrives within `window` (and the output is still open or ended).
  bool quietFor(std::chrono::milliseconds window);

  void sendSignal(int signal);
  ExitStatus wait(std::chrono::milliseconds timeout = 10s);
  // Everything written to stderr so far (after wait(), all of it).
  std::string stderrText();

 private:
  bool fillStdout(std::chrono::steady_clock::time_point deadline);
  void drainStderr(bool block);

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string outBuffer_;
  std::string errBuffer_;
  bool outEnded_ = false;
  std::optional<ExitStatus> status_;
};

// Path of a built executable, from the directory the test binary was configured with.
std::string binaryPath(const std::string& name);

}  // namespace brimlow::testing
