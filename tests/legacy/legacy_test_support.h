#pragma once
// In-process harness for the legacy backend's parts: a hand-moved clock, a main queue the test
// runs itself, the scripted recognizer service and an event writer whose lines the test reads.
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "stt-helper/event_writer.h"
#include "stt-helper/legacy/dictation_probe.h"
#include "support/system/system.h"
#include "tests/scripted/scripted_recognizer.h"

namespace brimlow::testing {

using namespace std::chrono_literals;
using nlohmann::json;
using speech::scripted::ScriptedRecognitionTask;
using speech::scripted::ScriptedRecognizerConfig;
using speech::scripted::ScriptedRecognizerService;
using speech::scripted::ScriptedStep;
using speech::scripted::TaskScript;

// Events written to an anonymous file, read back line by line.
class EventLog {
 public:
  EventLog() : fd_(::memfd_create("events", 0)) {}
  ~EventLog() { ::close(fd_); }
  int fd() const { return fd_; }
  // Every line written since the last call.
  std::vector<json> take() {
    std::string text;
    char chunk[4096];
    for (;;) {
      ssize_t n = ::pread(fd_, chunk, sizeof chunk, static_cast<off_t>(offset_));
      if (n <= 0) break;
      text.append(chunk, static_cast<size_t>(n));
      offset_ += static_cast<size_t>(n);
    }
    std::vector<json> events;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      events.push_back(json::parse(text.substr(start, end - start)));
    EXPECT_EQ(start, text.size()) << "a line without its line feed";
    return events;
  }

 private:
  int fd_;
  size_t offset_ = 0;
};

class LegacyHarness : public ::testing::Test {
 protected:
  static constexpr double kStart = 1'700'000'000'000.0;

  void SetUp() override {
    clock_.install();
    stt::resetDictationCacheForTesting();
    service_ = std::make_shared<ScriptedRecognizerService>(config_);
    writer_ = std::make_shared<stt::JSONLineWriter>(log_.fd(), 2);
  }
  void TearDown() override {
    // No engine thread may call into a channel or the queue once the test ends.
    service_->shutdown();
    platform::setClockForTesting({});
    stt::resetDictationCacheForTesting();
  }

  // Runs what the engine threads have posted to the main queue so far.
  void runQueue() {
    io_.restart();
    io_.poll();
  }
  // Waits until the task's script has nothing more to do now, then runs the main queue.
  void settle(const std::shared_ptr<ScriptedRecognitionTask>& task) {
    ASSERT_TRUE(task->waitUntilIdle(5s));
    runQueue();
  }

  std::vector<json> events() { return log_.take(); }

  ScriptedRecognizerConfig config_;
  platform::ManualClock clock_{kStart};
  asio::io_context io_;
  std::shared_ptr<ScriptedRecognizerService> service_;
  EventLog log_;
  stt::WriterPtr writer_;
};

inline audio::PcmBufferPtr bufferOf(const std::vector<int16_t>& samples) {
  auto buffer =
      audio::PcmBuffer::make(audio::pcm16Mono16k(), static_cast<uint32_t>(samples.size()));
  std::copy(samples.begin(), samples.end(), buffer->int16ChannelData(0));
  buffer->setFrameLength(static_cast<uint32_t>(samples.size()));
  return buffer;
}
// 250 ms at a constant level: 1000 is well above the voice threshold (RMS 0.03), 0 below.
inline audio::PcmBufferPtr voicedBuffer() {
  return bufferOf(std::vector<int16_t>(4000, 1000));
}
inline audio::PcmBufferPtr silentBuffer() {
  return bufferOf(std::vector<int16_t>(4000, 0));
}

inline speech::RecognitionResult result(std::string text, bool isFinal,
                                        std::vector<speech::TranscriptionSegment> segments = {}) {
  return speech::scripted::makeResult(std::move(text), isFinal, std::move(segments));
}

}  // namespace brimlow::testing
