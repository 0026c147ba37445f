#include "stt-helper/event_writer.h"

#include <unistd.h>

#include <cmath>
#include <limits>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/system/system.h"

namespace brimlow::stt {
namespace {

// Captures what a writer puts on its two descriptors.
struct Pipes {
  int out[2];
  int err[2];
  Pipes() {
    EXPECT_EQ(::pipe(out), 0);
    EXPECT_EQ(::pipe(err), 0);
  }
  ~Pipes() {
    for (int fd : {out[0], out[1], err[0], err[1]})
      if (fd >= 0) ::close(fd);
  }
  static std::string drain(int& writeEnd, int readEnd) {
    ::close(writeEnd);
    writeEnd = -1;
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(readEnd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
  }
  std::string stdoutText() { return drain(out[1], out[0]); }
  std::string stderrText() { return drain(err[1], err[0]); }
};

TEST(JSONLineWriter, WritesCompactSortedLinesWithRawSlashAndUnicode) {
  Pipes pipes;
  JSONLineWriter writer(pipes.out[1], pipes.err[1]);
  Event pong;
  pong["type"] = "pong";
  pong["sentAt"] = 0;
  pong["helperAt"] = 12.5;
  writer.write(pong);
  writer.write({{"type", "t"}, {"text", "会議/a\nb"}, {"nested", {{"z", 1}, {"a", 2}}}});
  EXPECT_EQ(pipes.stdoutText(),
            "{\"helperAt\":12.5,\"sentAt\":0,\"type\":\"pong\"}\n"
            "{\"nested\":{\"a\":2,\"z\":1},\"text\":\"会議/a\\nb\",\"type\":\"t\"}\n");
  EXPECT_EQ(pipes.stderrText(), "");
}

TEST(JSONLineWriter, ErrorCarriesSessionAndSourceOnlyWhenGiven) {
  platform::ManualClock clock(1000.25);
  clock.install();
  Pipes pipes;
  JSONLineWriter writer(pipes.out[1], pipes.err[1]);
  writer.error("boom", std::nullopt, std::nullopt);
  writer.error("bad chunk", std::string("s1"), AudioSource::selfAudio);
  platform::setClockForTesting(nullptr);
  EXPECT_EQ(pipes.stdoutText(),
            "{\"at\":1000.25,\"message\":\"boom\",\"type\":\"helper.error\"}\n"
            "{\"at\":1000.25,\"message\":\"bad chunk\",\"sessionId\":\"s1\",\"source\":\"self\","
            "\"type\":\"helper.error\"}\n");
}

TEST(JSONLineWriter, UnencodableEventGoesToStderrOnlyAndWriterStaysUsable) {
  Pipes pipes;
  JSONLineWriter writer(pipes.out[1], pipes.err[1]);
  writer.write({{"type", "x"}, {"value", std::nan("")}});
  writer.write({{"type", "x"}, {"deep", {{"v", std::numeric_limits<double>::infinity()}}}});
  // Invalid UTF-8 is repaired, not dropped: the host still gets the event.
  writer.write({{"type", "x"}, {"text", std::string("a\xff\xfe")}});
  writer.write({{"type", "ok"}});
  EXPECT_EQ(pipes.stdoutText(),
            "{\"text\":\"a\xef\xbf\xbd\xef\xbf\xbd\",\"type\":\"x\"}\n{\"type\":\"ok\"}\n");
  std::string err = pipes.stderrText();
  size_t lines = 0;
  for (size_t pos = 0;
       (pos = err.find("Failed to encode helper event: ", pos)) != std::string::npos; ++pos)
    ++lines;
  EXPECT_EQ(lines, 2u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
}

TEST(JSONLineWriter, ConcurrentWritersProduceWholeLines) {
  Pipes pipes;
  JSONLineWriter writer(pipes.out[1], pipes.err[1]);
  constexpr int kThreads = 8;
  constexpr int kEach = 200;
  const std::string payload(3000, 'x');  // long lines make torn writes likely if unguarded
  std::string text;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while ((n = ::read(pipes.out[0], buf, sizeof buf)) > 0)
      text.append(buf, static_cast<size_t>(n));
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        writer.write({{"type", "t"}, {"thread", t}, {"i", i}, {"payload", payload}});
    });
  }
  for (auto& thread : threads) thread.join();
  ::close(pipes.out[1]);
  pipes.out[1] = -1;
  reader.join();
  std::set<std::pair<int, int>> seen;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    auto event = nlohmann::json::parse(text.substr(start, end - start));
    EXPECT_EQ(event["payload"], payload);
    seen.insert({event["thread"].get<int>(), event["i"].get<int>()});
    start = end + 1;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
}

TEST(AuthorizationLabel, MapsKnownStatesAndUnknownValues) {
  EXPECT_EQ(authorizationLabel(0), "not-determined");
  EXPECT_EQ(authorizationLabel(1), "denied");
  EXPECT_EQ(authorizationLabel(2), "restricted");
  EXPECT_EQ(authorizationLabel(3), "authorized");
  EXPECT_EQ(authorizationLabel(7), "unknown");
  EXPECT_EQ(authorizationLabel(-1), "unknown");
}

TEST(NowMilliseconds, KeepsFractionAndFollowsTheReplaceableClock) {
  platform::ManualClock clock(5.75);
  clock.install();
  EXPECT_DOUBLE_EQ(nowMilliseconds(), 5.75);
  clock.advance(900);
  EXPECT_DOUBLE_EQ(nowMilliseconds(), 905.75);
  platform::setClockForTesting(nullptr);
  EXPECT_GT(nowMilliseconds(), 1.6e12);
}

}  // namespace
}  // namespace brimlow::stt
