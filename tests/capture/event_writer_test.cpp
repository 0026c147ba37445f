// The capture program's event lines: framing, key order, the status and error shapes.
#include <cmath>
#include <thread>

#include <gtest/gtest.h>

#include "support/system/system.h"
#include "tests/capture/recorded_events.h"

namespace brimlow::capture {
namespace {

using nlohmann::json;
using testing::RecordedEvents;

class EventWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { clock_.install(); }
  void TearDown() override { platform::setClockForTesting({}); }
  platform::ManualClock clock_{1'700'000'000'123.25};
  RecordedEvents recorded_;
};

TEST_F(EventWriterTest, StatusWithoutAvailableHasExactlyFourKeysInSortedOrder) {
  recorded_.writer()->status("requesting", "画面とシステムオーディオの録音権限を確認しています。");
  EXPECT_EQ(
      recorded_.stdoutText(),
      "{\"at\":1700000000123.25,\"message\":\"画面とシステムオーディオの録音権限を確認しています。"
      "\",\"state\":\"requesting\",\"type\":\"capture.status\"}\n");
}

TEST_F(EventWriterTest, StatusWithAvailableFalseCarriesTheKey) {
  recorded_.writer()->status("stopped", "システム音声の取得を停止しました。", false);
  auto events = recorded_.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (json{{"at", 1700000000123.25},
                             {"available", false},
                             {"message", "システム音声の取得を停止しました。"},
                             {"state", "stopped"},
                             {"type", "capture.status"}}));
}

TEST_F(EventWriterTest, ErrorKeepsSlashesAndLineFeedsInsideOneLine) {
  recorded_.writer()->error("a/b\nc");
  EXPECT_EQ(recorded_.stdoutText(),
            "{\"at\":1700000000123.25,\"message\":\"a/b\\nc\",\"type\":\"capture.error\"}\n");
}

TEST_F(EventWriterTest, AnEventThatCannotBeEncodedGoesToStderrOnlyAndTheWriterGoesOn) {
  recorded_.writer()->write({{"type", "capture.audio"}, {"level", std::nan("")}});
  recorded_.writer()->write(
      {{"type", "capture.audio"}, {"level", -std::numeric_limits<double>::infinity()}});
  recorded_.writer()->error("next \xff");  // repaired to U+FFFD, still written
  EXPECT_EQ(recorded_.types(), std::vector<std::string>{"capture.error"});
  EXPECT_NE(recorded_.stdoutText().find("\"message\":\"next \xef\xbf\xbd\""), std::string::npos);
  std::string err = recorded_.stderrText();
  EXPECT_TRUE(err.starts_with("Failed to encode capture event: ")) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2);
  EXPECT_NE(err.find("\nFailed to encode capture event: "), std::string::npos);
}

TEST_F(EventWriterTest, ConcurrentWritersNeverMixLines) {
  auto writer = recorded_.writer();
  const std::string payload(3000, 'x');
  auto spam = [&](const std::string& who) {
    for (int i = 0; i < 300; ++i) writer->write({{"type", who}, {"pcmBase64", payload}});
  };
  std::thread a(spam, "a"), b(spam, "b");
  a.join();
  b.join();
  auto lines = recorded_.lines();
  ASSERT_EQ(lines.size(), 600u);
  for (const auto& line : lines) EXPECT_EQ(json::parse(line)["pcmBase64"], payload);
}

}  // namespace
}  // namespace brimlow::capture
