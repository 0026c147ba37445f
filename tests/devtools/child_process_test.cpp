// Starting a child on pipes as the tests, the benchmarks and the example host do.
#include "devtools/child_process.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace brimlow::devtools {
namespace {

// Everything the child writes on stdout until it closes it.
std::string readAll(int fd) {
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
    out.append(buffer, static_cast<size_t>(n));
  return out;
}

struct Shell {
  PipedChild child;
  explicit Shell(const std::string& script, SpawnOptions options = {}) {
    options.args.insert(options.args.begin(), {"-c", script});
    child = spawnOnPipes("/bin/sh", options);
  }
  ~Shell() {
    for (int fd : {child.in, child.out, child.err})
      if (fd >= 0) ::close(fd);
  }
};

TEST(SpawnOnPipes, StdinAndStdoutArePipesAndArgumentsArePassed) {
  SpawnOptions options;
  options.args = {"-", "a b"};
  Shell shell("read line; echo \"$line/$0/$1\"", options);
  ASSERT_TRUE(writeAll(shell.child.in, "hello\n"));
  EXPECT_EQ(readAll(shell.child.out), "hello/-/a b\n");
  EXPECT_EQ(shell.child.err, -1);
  EXPECT_EQ(waitForExitCode(shell.child.pid), 0);
}

TEST(SpawnOnPipes, StderrIsPipedOrDiscardedOnRequest) {
  SpawnOptions piped;
  piped.stderrTo = ChildStderr::pipe;
  Shell withPipe("echo out; echo err >&2", piped);
  EXPECT_EQ(readAll(withPipe.child.out), "out\n");
  EXPECT_EQ(readAll(withPipe.child.err), "err\n");
  EXPECT_EQ(waitForExitCode(withPipe.child.pid), 0);

  SpawnOptions discarded;
  discarded.stderrTo = ChildStderr::discard;
  Shell toNull("echo err >&2 && echo written", discarded);
  EXPECT_EQ(readAll(toNull.child.out), "written\n");
  EXPECT_EQ(waitForExitCode(toNull.child.pid), 0);
}

TEST(SpawnOnPipes, EnvironmentEntriesAreSetUnsetOrAllCleared) {
  ::setenv("DEVTOOLS_TEST_KEPT", "kept", 1);
  ::setenv("DEVTOOLS_TEST_GONE", "gone", 1);
  SpawnOptions changed;
  changed.env = {{"DEVTOOLS_TEST_SET", "set"}, {"DEVTOOLS_TEST_GONE", std::nullopt}};
  Shell shell("echo \"$DEVTOOLS_TEST_KEPT,$DEVTOOLS_TEST_SET,${DEVTOOLS_TEST_GONE-unset}\"",
              changed);
  EXPECT_EQ(readAll(shell.child.out), "kept,set,unset\n");
  EXPECT_EQ(waitForExitCode(shell.child.pid), 0);

  SpawnOptions cleared;
  cleared.clearEnvironment = true;
  cleared.env = {{"ONLY", "this"}};
  Shell empty("echo \"${DEVTOOLS_TEST_KEPT-unset},$ONLY\"", cleared);
  EXPECT_EQ(readAll(empty.child.out), "unset,this\n");
  EXPECT_EQ(waitForExitCode(empty.child.pid), 0);
}

// What a child started with `options` finds of itself: its blocked and ignored signals (masks
// of /proc/self/status, signal n at bit n - 1) and whether it leads its process group. Read by
// programs started directly, since a shell may change its signal mask.
struct SignalState {
  unsigned long long blocked = 0, ignored = 0;
  bool ownGroup = false;
};

std::string outputOf(const std::string& path, std::vector<std::string> args, SpawnOptions options) {
  options.args = std::move(args);
  const auto child = spawnOnPipes(path, options);
  const std::string out = readAll(child.out);
  ::close(child.in);
  ::close(child.out);
  EXPECT_EQ(waitForExitCode(child.pid), 0);
  return out;
}

SignalState signalStateWith(const SpawnOptions& options) {
  SignalState state;
  const std::string masks = outputOf(
      "/bin/sed", {"-n", "s/^SigBlk:\\s*//p; s/^SigIgn:\\s*//p", "/proc/self/status"}, options);
  EXPECT_EQ(std::sscanf(masks.c_str(), "%llx %llx", &state.blocked, &state.ignored), 2) << masks;
  // Fields 1 and 5 of /proc/self/stat: the process id and its group's.
  const std::string ids =
      outputOf("/usr/bin/cut", {"-d", " ", "-f", "1,5", "/proc/self/stat"}, options);
  long pid = 0, group = -1;
  EXPECT_EQ(std::sscanf(ids.c_str(), "%ld %ld", &pid, &group), 2) << ids;
  state.ownGroup = pid == group;
  return state;
}

TEST(SpawnOnPipes, SignalsAndProcessGroupAsAsked) {
  const unsigned long long term = 1ull << (SIGTERM - 1), pipe = 1ull << (SIGPIPE - 1);
  sigset_t block, previous;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &block, &previous);
  auto previousPipe = ::signal(SIGPIPE, SIG_IGN);
  const auto inherited = signalStateWith({});
  SpawnOptions reset;
  reset.unblockSignals = true;
  reset.defaultSignals = true;
  reset.ownProcessGroup = true;
  const auto fresh = signalStateWith(reset);
  ::signal(SIGPIPE, previousPipe);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  EXPECT_TRUE(inherited.blocked & term);
  EXPECT_TRUE(inherited.ignored & pipe);
  EXPECT_FALSE(inherited.ownGroup);
  EXPECT_EQ(fresh.blocked, 0u);
  EXPECT_FALSE(fresh.ignored & pipe);
  EXPECT_TRUE(fresh.ownGroup);
}

TEST(SpawnOnPipes, AProgramThatCannotStartThrowsWithTheReason) {
  try {
    spawnOnPipes("/nonexistent/program");
    FAIL() << "started";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "cannot start /nonexistent/program: No such file or directory");
  }
}

TEST(WaitForExitCode, IsTheExitCodeOr128PlusTheSignal) {
  Shell exits("exit 3");
  EXPECT_EQ(waitForExitCode(exits.child.pid), 3);
  Shell killed("kill -TERM $$");
  EXPECT_EQ(waitForExitCode(killed.child.pid), 128 + SIGTERM);
  EXPECT_EQ(waitForExitCode(-1), -1);
}

TEST(WriteAll, IsFalseOnceTheReaderHasGone) {
  auto previousPipe = ::signal(SIGPIPE, SIG_IGN);
  Shell shell("exec 0<&-; exit 0");
  EXPECT_EQ(waitForExitCode(shell.child.pid), 0);
  EXPECT_FALSE(writeAll(shell.child.in, "nobody reads this\n"));
  ::signal(SIGPIPE, previousPipe);
}

TEST(LineSplitter, ReturnsCompleteLinesAndKeepsTheRest) {
  LineSplitter splitter;
  EXPECT_EQ(splitter.append("a\nb", 3), (std::vector<std::string>{"a"}));
  EXPECT_EQ(splitter.unfinished(), "b");
  EXPECT_EQ(splitter.append("c\n\nd", 4), (std::vector<std::string>{"bc", ""}));
  EXPECT_EQ(splitter.unfinished(), "d");
  EXPECT_EQ(splitter.append("", 0), std::vector<std::string>{});
}

TEST(ProcessFigures, AreReadFromProc) {
  EXPECT_GT(statusKb(::getpid(), "VmRSS:"), 0);
  EXPECT_EQ(statusKb(::getpid(), "NoSuchField:"), -1);
  EXPECT_GE(cpuSeconds(::getpid()), 0.0);
  EXPECT_EQ(cpuSeconds(-1), 0.0);
}

}  // namespace
}  // namespace brimlow::devtools
