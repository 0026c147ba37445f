// The standard-input line reader both programs use (support/system/line_reader.h).
#include "support/system/line_reader.h"

#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace brimlow::platform {
namespace {

class Lines : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::pipe(fds_), 0); }
  void TearDown() override {
    ::close(fds_[0]);
    closeInput();
  }
  void send(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
      ssize_t n = ::write(fds_[1], text.data() + done, text.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<size_t>(n);
    }
  }
  void closeInput() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }
  // Every line until the end of input.
  std::vector<std::string> all(
      LineReader::LongLines longLines = LineReader::LongLines::releaseMemory) {
    LineReader reader(fds_[0], longLines);
    std::vector<std::string> out;
    for (std::string line; reader.next(line);) out.push_back(line);
    return out;
  }
  int fds_[2] = {-1, -1};
};

using Texts = std::vector<std::string>;

TEST_F(Lines, LineFeedAndCarriageReturnLineFeedEndALineAndEmptyLinesCount) {
  send("one\ntwo\r\n\nthree\r\r\n\r\n");
  closeInput();
  EXPECT_EQ(all(), (Texts{"one", "two", "", "three\r", ""}));
}

TEST_F(Lines, ALastLineWithoutLineFeedIsReturnedUnlessItIsEmpty) {
  send("one\nlast\r");
  closeInput();
  EXPECT_EQ(all(), (Texts{"one", "last"}));
}

TEST_F(Lines, EndOfInputRightAwayGivesNoLine) {
  closeInput();
  EXPECT_EQ(all(), Texts{});
}

TEST_F(Lines, ALineArrivingInPiecesIsOneLine) {
  LineReader reader(fds_[0]);
  std::thread writer([this] {
    send("{\"type\":");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    send("\"ping\"}\nnext\n");
    closeInput();
  });
  std::string line;
  ASSERT_TRUE(reader.next(line));
  EXPECT_EQ(line, "{\"type\":\"ping\"}");
  ASSERT_TRUE(reader.next(line));
  EXPECT_EQ(line, "next");
  EXPECT_FALSE(reader.next(line));
  writer.join();
}

TEST_F(Lines, LinesOfAnyLengthInBothMemoryModes) {
  for (auto mode : {LineReader::LongLines::releaseMemory, LineReader::LongLines::keepMemory}) {
    ASSERT_EQ(::close(fds_[0]), 0);
    closeInput();
    ASSERT_EQ(::pipe(fds_), 0);
    const std::string huge(3 << 20, 'x');
    std::thread writer([&] {
      send(huge + "\nshort\n" + huge);
      closeInput();
    });
    EXPECT_EQ(all(mode), (Texts{huge, "short", huge}));
    writer.join();
  }
}

}  // namespace
}  // namespace brimlow::platform
