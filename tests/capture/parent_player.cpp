// A host that plays sound itself: starts the program given after "--" as its child, sharing
// this process's standard input and output, then on SIGUSR1 becomes a player of FILE (exec
// paplay), so the child's parent process is the one that plays.
//
//   brimlow-parent-player FILE -- PROGRAM [ARGS...]
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
    std::fprintf(stderr, "usage: %s FILE -- PROGRAM [ARGS...]\n", argv[0]);
    return 64;
  }
  sigset_t usr1, previous;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigprocmask(SIG_BLOCK, &usr1, &previous);

  pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    execv(argv[3], argv + 3);
    _exit(127);
  }
  int signal = 0;
  sigwait(&usr1, &signal);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  std::vector<char*> player{const_cast<char*>("paplay"), argv[1], nullptr};
  execvp("paplay", player.data());
  return 127;
}
