// Re-execution with responsibility disclaimed, on a helper that offers the disclaim function.
#include <signal.h>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace brimlow::testing {
namespace {

using nlohmann::json;

const std::string kDisclaiming = "tests/helper/brimlow-stt-helper-disclaiming";
const std::string kRecording = "tests/helper/brimlow-stt-helper-recording";

ChildProcess::Options identity(std::vector<std::string> args,
                               std::optional<std::string> marker = std::nullopt) {
  return ChildProcess::Options{
      std::move(args), {{"BRIMLOW_TEST_IDENTITY", "1"}, {"BRIMLOW_DISCLAIMED", marker}}, false};
}

TEST(Reexec, ChildCarriesTheMarkerAndEveryArgumentAndThenServesTheHost) {
  ChildProcess parent(binaryPath(kDisclaiming), identity({"--not-a-mode", "a b", "", "日本"}));
  auto status = parent.readEvent();
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)["ppid"], parent.pid());  // a second process writes the events
  EXPECT_NE((*status)["pid"], parent.pid());
  EXPECT_EQ((*status)["marker"], "1");
  EXPECT_EQ((*status)["markers"], 1);
  auto args = (*status)["args"].get<std::vector<std::string>>();
  ASSERT_EQ(args.size(), 5u);
  EXPECT_TRUE(args[0].ends_with("brimlow-stt-helper-disclaiming"));
  EXPECT_EQ(std::vector<std::string>(args.begin() + 1, args.end()),
            (std::vector<std::string>{"--not-a-mode", "a b", "", "日本"}));

  parent.writeLine(R"({"type":"ping","sentAt":3})");  // stdin reaches the child
  EXPECT_EQ((*parent.readEvent())["type"], "pong");
  parent.closeStdin();
  auto exit = parent.wait();
  EXPECT_TRUE(exit.exited);
  EXPECT_EQ(exit.code, 0);
  EXPECT_EQ(parent.stderrText(), "");
}

TEST(Reexec, ChildExitCodeBecomesTheParents) {
  ChildProcess parent(binaryPath(kDisclaiming), identity({"--research-transcribe-file"}));
  auto lines = parent.readAllLines();
  ASSERT_EQ(lines.size(), 1u);  // the parent itself writes nothing
  EXPECT_EQ(json::parse(lines[0])["type"], "helper.error");
  auto exit = parent.wait();
  EXPECT_TRUE(exit.exited);
  EXPECT_EQ(exit.code, 2);
}

TEST(Reexec, SignalsToTheParentReachTheChildAndAChildKilledBySignalGivesExitCodeOne) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    ChildProcess parent(binaryPath(kDisclaiming), identity({}));
    auto status = parent.readEvent();
    ASSERT_TRUE(status);
    pid_t child = (*status)["pid"].get<pid_t>();
    parent.sendSignal(signal);
    auto exit = parent.wait();
    EXPECT_TRUE(exit.exited) << "signal " << signal;
    EXPECT_EQ(exit.code, 1) << "signal " << signal;
    EXPECT_NE(::kill(child, 0), 0) << "child " << child << " survived signal " << signal;
  }
}

TEST(Reexec, MarkerOneMeansNoSpawnAndAnotherValueIsReplaced) {
  {
    ChildProcess helper(binaryPath(kDisclaiming), identity({}, "1"));
    auto status = helper.readEvent();
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["pid"], helper.pid());
  }
  {
    ChildProcess parent(binaryPath(kDisclaiming), identity({}, "yes"));
    auto status = parent.readEvent();
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["ppid"], parent.pid());  // one level only: the copy did not spawn again
    EXPECT_EQ((*status)["marker"], "1");
    EXPECT_EQ((*status)["markers"], 1);
  }
}

TEST(Reexec, WithoutTheDisclaimFunctionTheHelperRunsAsItIs) {
  ChildProcess helper(binaryPath(kRecording), identity({}));
  auto status = helper.readEvent();
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)["pid"], helper.pid());
  EXPECT_FALSE(status->contains("marker"));
}

}  // namespace
}  // namespace brimlow::testing
