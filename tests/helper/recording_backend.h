#pragma once
// A backend that writes one "test.call" event per operation, so that process tests see exactly
// what the command loop handed to the backend. Its status event also tells who the process is
// (pid, parent, BRIMLOW_DISCLAIMED, arguments), for the re-execution tests.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "stt-helper/backend.h"

namespace brimlow::testing {

using namespace brimlow::stt;

// NUL-separated entries of a /proc file.
inline std::vector<std::string> procEntries(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> entries;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    entries.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

using namespace brimlow::stt;

class RecordingBackend final : public SpeechBackend {
 public:
  explicit RecordingBackend(WriterPtr writer) : writer_(std::move(writer)) {}
  std::string implementationName() const override { return "recording"; }
  void emitStatus() override {
    Event event = {{"op", "emitStatus"}};
    if (std::getenv("BRIMLOW_TEST_IDENTITY")) {
      int markers = 0;
      for (const auto& entry : procEntries("/proc/self/environ"))
        if (entry.starts_with("BRIMLOW_DISCLAIMED=")) ++markers;
      event["pid"] = ::getpid();
      event["ppid"] = ::getppid();
      event["markers"] = markers;
      const char* marker = std::getenv("BRIMLOW_DISCLAIMED");
      if (marker) event["marker"] = marker;
      event["args"] = procEntries("/proc/self/cmdline");
    }
    call(event);
  }
  void startSession(const std::string& id, const std::string& locale,
                    const std::vector<std::string>& vocabulary, bool echoCancellation) override {
    call({{"op", "startSession"},
          {"id", id},
          {"locale", locale},
          {"vocabulary", vocabulary},
          {"echoCancellation", echoCancellation}});
  }
  void appendAudio(const std::string& sessionId, AudioSource source, int64_t sequence,
                   double capturedAt, const std::string& pcmBase64) override {
    call({{"op", "appendAudio"},
          {"sessionId", sessionId},
          {"source", toString(source)},
          {"sequence", sequence},
          {"capturedAt", capturedAt},
          {"pcmBase64", pcmBase64}});
  }
  void setSuppressed(const std::string& sessionId, AudioSource source, bool suppressed) override {
    call({{"op", "setSuppressed"},
          {"sessionId", sessionId},
          {"source", toString(source)},
          {"suppressed", suppressed}});
  }
  void stopSession(const std::string& id) override { call({{"op", "stopSession"}, {"id", id}}); }
  void stopAll() override { call({{"op", "stopAll"}}); }

 private:
  void call(Event event) {
    event["type"] = "test.call";
    writer_->write(event);
  }
  WriterPtr writer_;
};

}  // namespace brimlow::testing
