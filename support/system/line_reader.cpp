#include "support/system/line_reader.h"

#include <unistd.h>

#include <cerrno>

namespace brimlow::platform {

namespace {

// Lines at most this long keep their buffers for the next ones (with LongLines::releaseMemory).
constexpr size_t kKeptLineCapacity = 1 << 20;

void dropCarriageReturn(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

}  // namespace

void LineReader::releaseIfLarge(std::string& text) const {
  if (longLines_ == LongLines::releaseMemory && text.capacity() > kKeptLineCapacity &&
      text.size() <= kKeptLineCapacity / 2)
    text.shrink_to_fit();
}

bool LineReader::next(std::string& line) {
  line.clear();
  releaseIfLarge(line);  // the previous line's memory
  for (;;) {
    auto newline = buffer_.find('\n', scanned_);
    if (newline != std::string::npos) {
      line.assign(buffer_, 0, newline);
      buffer_.erase(0, newline + 1);
      releaseIfLarge(buffer_);
      scanned_ = 0;
      dropCarriageReturn(line);
      return true;
    }
    scanned_ = buffer_.size();
    if (eof_) {
      if (buffer_.empty()) return false;
      line.swap(buffer_);
      buffer_.clear();
      scanned_ = 0;
      dropCarriageReturn(line);
      return true;
    }
    char chunk[65536];
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;  // a read error ends the input like end of file
      continue;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace brimlow::platform
