#include "support/system/reexec.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/system/system.h"

extern char** environ;

namespace brimlow::platform {

namespace {

constexpr const char* kMarker = "BRIMLOW_DISCLAIMED";
using DisclaimFunction = int (*)(posix_spawnattr_t*, bool);

// Read by the signal handlers; set before they are installed.
volatile sig_atomic_t disclaimedChildPid = 0;

void forwardSignal(int signal) {
  pid_t child = disclaimedChildPid;
  if (child > 0) ::kill(child, signal);
}

// Strings kept alive together with the null-terminated array of pointers that exec wants.
struct CStrings {
  std::vector<std::string> strings;
  std::vector<char*> pointers;
  char** array() {
    pointers.clear();
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers.data();
  }
};

// This environment with the marker set to "1". An inherited marker of another value is left
// out, so the copy sees exactly one entry, "1", and never spawns again.
CStrings markedEnvironment() {
  CStrings env;
  const std::string prefix = std::string(kMarker) + "=";
  for (char** entry = environ; entry && *entry; ++entry) {
    if (std::strncmp(*entry, prefix.c_str(), prefix.size()) == 0) continue;
    env.strings.emplace_back(*entry);
  }
  env.strings.push_back(prefix + "1");
  return env;
}

// Spawns the copy with the forwarded signals held back until their handlers are in place, so
// that one arriving right after the spawn cannot end this process and leave the copy behind;
// the copy starts with the original mask. 0 when the spawn failed.
pid_t spawnForwardingSignals(const std::string& path, posix_spawnattr_t& attributes, char** argv,
                             char** env) {
  sigset_t forwarded, original;
  sigemptyset(&forwarded);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&forwarded, signal);
  ::pthread_sigmask(SIG_BLOCK, &forwarded, &original);
  short flags = 0;
  ::posix_spawnattr_getflags(&attributes, &flags);
  ::posix_spawnattr_setflags(&attributes, static_cast<short>(flags | POSIX_SPAWN_SETSIGMASK));
  ::posix_spawnattr_setsigmask(&attributes, &original);

  pid_t child = 0;
  if (::posix_spawn(&child, path.c_str(), nullptr, &attributes, argv, env) != 0) {
    ::pthread_sigmask(SIG_SETMASK, &original, nullptr);
    return 0;
  }
  disclaimedChildPid = child;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::signal(signal, forwardSignal);
  ::pthread_sigmask(SIG_SETMASK, &original, nullptr);
  return child;
}

[[noreturn]] void exitAsChild(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) std::_Exit(1);
  }
  std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

}  // namespace

void reexecDisclaimedIfNeeded(int argc, char** argv, bool disclaimed) {
  if (disclaimed) return;

  auto disclaim = reinterpret_cast<DisclaimFunction>(
      ::dlsym(RTLD_DEFAULT, "responsibility_spawnattrs_setdisclaim"));
  if (!disclaim) return;

  std::string path;
  if (auto self = executablePath()) {
    path = *self;
  } else if (argc > 0 && argv[0]) {
    path = argv[0];
  } else {
    return;
  }

  posix_spawnattr_t attributes;
  if (::posix_spawnattr_init(&attributes) != 0) return;
  if (disclaim(&attributes, true) != 0) {
    ::posix_spawnattr_destroy(&attributes);
    return;
  }
  CStrings args{std::vector<std::string>(argv, argv + argc), {}};
  CStrings env = markedEnvironment();
  const pid_t child = spawnForwardingSignals(path, attributes, args.array(), env.array());
  ::posix_spawnattr_destroy(&attributes);
  if (child > 0) exitAsChild(child);
}

}  // namespace brimlow::platform
