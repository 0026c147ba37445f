#include "tests/analyzer/test_support.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace brimlow::testing {

EventCapture::EventCapture() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC)) throw std::runtime_error("pipe failed");
  readFd_ = fds[0];
  writeFd_ = fds[1];
  writer_ = std::make_shared<stt::JSONLineWriter>(writeFd_, 2);
  reader_ = std::thread([this] {
    std::string pending;
    char chunk[4096];
    for (;;) {
      ssize_t n = ::read(readFd_, chunk, sizeof chunk);
      if (n <= 0) break;
      pending.append(chunk, static_cast<size_t>(n));
      size_t newline;
      while ((newline = pending.find('\n')) != std::string::npos) {
        auto event = nlohmann::json::parse(pending.substr(0, newline), nullptr, false);
        pending.erase(0, newline + 1);
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
      }
    }
  });
}

EventCapture::~EventCapture() {
  writer_.reset();
  ::close(writeFd_);
  reader_.join();
  ::close(readFd_);
}

std::vector<nlohmann::json> EventCapture::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<nlohmann::json> EventCapture::written() {
  nlohmann::json marker = {{"type", "test.marker"}, {"n", ++markers_}};
  writer_->write(marker);
  waitFor([&](const auto& events) { return !events.empty() && events.back() == marker; });
  std::vector<nlohmann::json> result;
  for (auto& event : events())
    if (event.value("type", "") != "test.marker") result.push_back(std::move(event));
  return result;
}

bool EventCapture::waitFor(const std::function<bool(const std::vector<nlohmann::json>&)>& condition,
                           std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return condition(events_); });
}

std::vector<nlohmann::json> EventCapture::waitForType(const std::string& type, size_t count,
                                                      std::chrono::milliseconds timeout) const {
  waitFor([&](const auto& events) { return ofType(events, type).size() >= count; }, timeout);
  return ofType(events(), type);
}

std::vector<nlohmann::json> ofType(const std::vector<nlohmann::json>& events,
                                   const std::string& type) {
  std::vector<nlohmann::json> matching;
  for (const auto& event : events)
    if (event.value("type", "") == type) matching.push_back(event);
  return matching;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "brimlow-analyzer-XXXXXX");
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void writeWav(const std::string& path, int sampleRate, int channels, int frames) {
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) throw std::runtime_error("cannot write " + path);
  std::vector<short> samples(static_cast<size_t>(frames) * channels);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<short>(i % 2000);
  sf_writef_short(file, samples.data(), frames);
  sf_close(file);
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace brimlow::testing
