#pragma once
// An EventWriter whose lines land in memory files, read back as parsed events.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "audio-capture/event_writer.h"

namespace brimlow::capture::testing {

class RecordedEvents {
 public:
  RecordedEvents()
      : out_(::memfd_create("capture-out", 0)),
        err_(::memfd_create("capture-err", 0)),
        writer_(std::make_shared<EventWriter>(out_, err_)) {}
  ~RecordedEvents() {
    ::close(out_);
    ::close(err_);
  }
  RecordedEvents(const RecordedEvents&) = delete;
  RecordedEvents& operator=(const RecordedEvents&) = delete;

  WriterPtr writer() const { return writer_; }
  std::string stdoutText() const { return contents(out_); }
  std::string stderrText() const { return contents(err_); }

  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    std::string text = stdoutText();
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
      result.push_back(text.substr(start, nl - start));
    EXPECT_EQ(start, text.size()) << "output does not end in a line feed";
    return result;
  }
  std::vector<nlohmann::json> events() const {
    std::vector<nlohmann::json> result;
    for (const auto& line : lines()) result.push_back(nlohmann::json::parse(line));
    return result;
  }
  std::vector<nlohmann::json> ofType(const std::string& type) const {
    std::vector<nlohmann::json> result;
    for (auto& event : events())
      if (event["type"] == type) result.push_back(event);
    return result;
  }
  std::vector<std::string> types() const {
    std::vector<std::string> result;
    for (auto& event : events()) result.push_back(event["type"]);
    return result;
  }

 private:
  static std::string contents(int fd) {
    struct stat info {};
    ::fstat(fd, &info);
    std::string text(static_cast<size_t>(info.st_size), '\0');
    if (!text.empty()) {
      EXPECT_EQ(::pread(fd, text.data(), text.size(), 0), info.st_size);
    }
    return text;
  }
  int out_;
  int err_;
  WriterPtr writer_;
};

}  // namespace brimlow::capture::testing
