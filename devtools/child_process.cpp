#include "devtools/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace brimlow::devtools {

namespace {

// The child's environment: this one's (or none) with the options' changes, as "KEY=value".
std::vector<std::string> environmentFor(const SpawnOptions& options) {
  std::map<std::string, std::string> entries;
  if (!options.clearEnvironment) {
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      auto eq = entry.find('=');
      if (eq != std::string::npos) entries[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
  }
  for (const auto& [key, value] : options.env) {
    if (value)
      entries[key] = *value;
    else
      entries.erase(key);
  }
  std::vector<std::string> out;
  for (const auto& [key, value] : entries) out.push_back(key + "=" + value);
  return out;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

void closeAll(std::initializer_list<int> fds) {
  for (int fd : fds)
    if (fd >= 0) ::close(fd);
}

}  // namespace

PipedChild spawnOnPipes(const std::string& path, const SpawnOptions& options) {
  const bool pipeStderr = options.stderrTo == ChildStderr::pipe;
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || (pipeStderr && ::pipe2(err, O_CLOEXEC))) {
    const int error = errno;
    closeAll({in[0], in[1], out[0], out[1], err[0], err[1]});
    throw std::runtime_error("cannot start " + path + ": pipe: " + std::strerror(error));
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (pipeStderr)
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  else if (options.stderrTo == ChildStderr::discard)
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  short flags = 0;
  if (options.unblockSignals) {
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    flags |= POSIX_SPAWN_SETSIGMASK;
  }
  if (options.defaultSignals) {
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    flags |= POSIX_SPAWN_SETSIGDEF;
  }
  if (options.ownProcessGroup) flags |= POSIX_SPAWN_SETPGROUP;  // group 0: the child's own
  posix_spawnattr_setflags(&attr, flags);

  std::vector<std::string> argStore{path};
  argStore.insert(argStore.end(), options.args.begin(), options.args.end());
  auto argv = pointersTo(argStore);
  const bool ownEnvironment = options.clearEnvironment || !options.env.empty();
  std::vector<std::string> envStore = ownEnvironment ? environmentFor(options) : std::vector<std::string>{};
  auto envp = pointersTo(envStore);

  PipedChild child;
  const int rc = ::posix_spawn(&child.pid, path.c_str(), &actions, &attr, argv.data(),
                               ownEnvironment ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  closeAll({in[0], out[1], err[1]});
  if (rc != 0) {
    closeAll({in[1], out[0], err[0]});
    throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
  }
  child.in = in[1];
  child.out = out[0];
  child.err = err[0];
  return child;
}

bool writeAll(int fd, std::string_view text, const std::function<void()>& beforeEachWrite) {
  while (!text.empty()) {
    if (beforeEachWrite) beforeEachWrite();
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

int waitForExitCode(pid_t pid) {
  if (pid <= 0) return -1;
  int status = 0;
  pid_t rc;
  do {
    rc = ::waitpid(pid, &status, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> LineSplitter::append(const char* data, size_t size) {
  pending_.append(data, size);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = pending_.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(pending_.substr(start, nl - start));
  pending_.erase(0, start);
  return lines;
}

double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), {});
  const auto name = all.rfind(')');
  if (name == std::string::npos || name + 2 > all.size()) return 0;
  std::istringstream rest(all.substr(name + 2));
  std::vector<std::string> fields;
  for (std::string f; rest >> f;) fields.push_back(f);
  if (fields.size() < 13) return 0;
  // After the name: state is field 3, utime 14 and stime 15 (1-based in proc(5)).
  return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long statusKb(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  return -1;
}

}  // namespace brimlow::devtools
