#pragma once
// Lines of any length from a descriptor, as both programs read their standard input: "\n" and
// "\r\n" end a line, and the end of input (or a read error, which ends it alike) ends a last
// line that has no "\n". The input side of json_lines.h.
#include <cstddef>
#include <string>

namespace brimlow::platform {

class LineReader {
 public:
  // What happens to the memory of a long line once it was read.
  enum class LongLines {
    keepMemory,     // the buffers keep what they grew to
    releaseMemory,  // given back, so that one huge line does not stay with the process
  };

  explicit LineReader(int fd, LongLines longLines = LongLines::releaseMemory)
      : fd_(fd), longLines_(longLines) {}

  // The next line into `line` (without its "\n" or "\r\n"), reading as much as it takes; false
  // once the input has ended and every line was returned. A last line without "\n" is returned
  // unless it is empty.
  bool next(std::string& line);

 private:
  void releaseIfLarge(std::string& text) const;

  int fd_;
  LongLines longLines_;
  std::string buffer_;
  size_t scanned_ = 0;  // bytes of buffer_ known to hold no "\n"
  bool eof_ = false;
};

}  // namespace brimlow::platform
