#pragma once
// A child process on pipes, as a host starts the programs: its standard input and output (and,
// when asked, its standard error) are pipes to this process. Shared by the process tests, the
// benchmarks and the example host; what each does with the pipes stays with it.
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimlow::devtools {

// Where the child's standard error goes.
enum class ChildStderr {
  inherit,  // this process's
  pipe,     // a pipe, read through PipedChild::err
  discard,  // /dev/null
};

struct SpawnOptions {
  std::vector<std::string> args;                          // after argv[0]
  std::map<std::string, std::optional<std::string>> env;  // set, or unset with nullopt
  bool clearEnvironment = false;  // start from an empty environment instead of this one's
  ChildStderr stderrTo = ChildStderr::inherit;
  // The child starts with no signal blocked, whatever this process blocks.
  bool unblockSignals = false;
  // The child starts with SIGPIPE, SIGINT, SIGTERM and SIGHUP at their default action,
  // whatever this process ignores or handles.
  bool defaultSignals = false;
  // The child leads a process group of its own, so that a terminal's Ctrl-C does not reach it.
  bool ownProcessGroup = false;
};

// This process's ends of the pipes; -1 where there is none.
struct PipedChild {
  pid_t pid = -1;
  int in = -1;   // the child's standard input, to write
  int out = -1;  // its standard output, to read
  int err = -1;  // its standard error, to read (ChildStderr::pipe only)
};

// Starts `path` with argv[0] = path. Every descriptor of this process's is close-on-exec, so
// a child never holds another child's pipe open. Throws std::runtime_error ("cannot start
// PATH: reason") when it cannot start; no pipe is left open then.
PipedChild spawnOnPipes(const std::string& path, const SpawnOptions& options = {});

// Writes all of `text` to `fd`, again after an interrupted write; false once a write fails (the
// reader closed its end). `beforeEachWrite` runs before every write(2), e.g. to drain a pipe
// the child may block on.
bool writeAll(int fd, std::string_view text, const std::function<void()>& beforeEachWrite = {});

// Waits for the child to end: its exit code, 128 + the signal that ended it, or -1 when there
// is no such child.
int waitForExitCode(pid_t pid);

// Bytes read from a child cut into lines at "\n" (which the lines do not keep).
class LineSplitter {
 public:
  // Takes `size` more bytes; returns the lines they complete, in order.
  std::vector<std::string> append(const char* data, size_t size);
  // The bytes after the last "\n": a line not ended yet.
  const std::string& unfinished() const { return pending_; }

 private:
  std::string pending_;
};

// From /proc/<pid>: user plus system CPU seconds the process has used so far (0 when unknown),
// and a "kB" field of its status such as "VmRSS:" or "VmHWM:" (-1 when unknown).
double cpuSeconds(pid_t pid);
long statusKb(pid_t pid, const char* key);

}  // namespace brimlow::devtools
