// Which standard-input lines stop the capture, and how the listener reads them.
#include <unistd.h>

#include <gtest/gtest.h>

#include "audio-capture/program.h"

namespace brimlow::capture {
namespace {

TEST(StopCommand, StopAndShutdownObjectsStop) {
  for (const char* line : {R"({"type":"stop"})", R"({"type":"shutdown"})",
                           R"({"reason":"host quit","type":"stop"})", R"(  {"type" : "stop"}  )"})
    EXPECT_TRUE(isStopCommand(line)) << line;
}

TEST(StopCommand, EverythingElseIsIgnored) {
  for (const char* line :
       {R"({"type":"Stop"})", R"({"type":"ping"})", R"({"type":1})", "{}", "stop", "",
        R"(["stop"])", R"("stop")", R"({"type":["stop"]})", R"({"type":null})",
        "{\"type\":\"stop\"", R"({"Type":"stop"})", "{\"type\":\"stop\\u0000\"}"})
    EXPECT_FALSE(isStopCommand(line)) << line;
}

class Listener : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::pipe(fds_), 0); }
  void TearDown() override {
    ::close(fds_[0]);
    if (fds_[1] >= 0) ::close(fds_[1]);
  }
  void send(const std::string& text) {
    ASSERT_EQ(::write(fds_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void closeInput() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }
  int fds_[2] = {-1, -1};
};

TEST_F(Listener, ReturnsAtTheFirstStopLineAmongOthers) {
  send("stop\n{}\r\n{\"type\":\"Stop\"}\n\n{\"type\":\"shutdown\"}\r\n{\"type\":\"stop\"}\n");
  EXPECT_TRUE(waitForStopCommand(fds_[0]));
}

TEST_F(Listener, EndOfInputEndsItToo) {
  send("{\"type\":\"ping\"}\n");
  closeInput();
  EXPECT_FALSE(waitForStopCommand(fds_[0]));
}

TEST_F(Listener, ALastLineWithoutLineFeedStillCounts) {
  send("{\"type\":\"stop\"}");
  closeInput();
  EXPECT_TRUE(waitForStopCommand(fds_[0]));
}

}  // namespace
}  // namespace brimlow::capture
