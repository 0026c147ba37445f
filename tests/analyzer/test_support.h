#pragma once
// Shared by the analyzer tests: an in-process writer whose lines are collected, and WAV files
// written with libsndfile.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "stt-helper/event_writer.h"

namespace brimlow::testing {

// A JSONLineWriter on a pipe, with a thread that parses every line it writes.
class EventCapture {
 public:
  EventCapture();
  ~EventCapture();  // drop every other holder of writer() first
  EventCapture(const EventCapture&) = delete;
  EventCapture& operator=(const EventCapture&) = delete;

  const stt::WriterPtr& writer() const { return writer_; }
  // Every event parsed so far; lines still in the pipe may be missing.
  std::vector<nlohmann::json> events() const;
  // Every event written before this call: writes a marker line and waits for it to be parsed.
  std::vector<nlohmann::json> written();
  // Waits until `condition` holds for all events so far; false at the timeout.
  bool waitFor(const std::function<bool(const std::vector<nlohmann::json>&)>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Waits for `count` events of `type`; returns them (fewer at the timeout).
  std::vector<nlohmann::json> waitForType(
      const std::string& type, size_t count = 1,
      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  int readFd_ = -1;
  int writeFd_ = -1;
  stt::WriterPtr writer_;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<nlohmann::json> events_;
  int markers_ = 0;
};

std::vector<nlohmann::json> ofType(const std::vector<nlohmann::json>& events,
                                   const std::string& type);

// A temporary directory removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

// Writes a 16-bit PCM WAV of `frames` frames (a quiet ramp) at `sampleRate` with `channels`.
void writeWav(const std::string& path, int sampleRate, int channels, int frames);
void writeText(const std::string& path, const std::string& text);

}  // namespace brimlow::testing
