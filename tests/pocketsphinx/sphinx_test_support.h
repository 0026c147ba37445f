#pragma once
// Recordings, buffers and result collectors for the PocketSphinx engine tests.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engines/pocketsphinx/models.h"
#include "platform/speech/analysis.h"
#include "platform/speech/recognizer.h"
#include "support/audio/audio.h"

namespace brimlow::pocketsphinx::testing {

inline const std::filesystem::path kTestData = "/usr/share/pocketsphinx/test/data";
inline const std::string kIllDisposedClip =
    "librivox/sense_and_sensibility_01_austen_64kb-0880.wav";  // "he was not an ill disposed
                                                               // young man"
inline constexpr auto kDeadline = std::chrono::seconds(60);

// Skips the test when the distribution's model or test recordings are missing.
#define REQUIRE_ENGINE_DATA()                                                                      \
  do {                                                                                             \
    if (!std::filesystem::exists(::brimlow::pocketsphinx::testing::kTestData / "goforward.raw") || \
        !std::filesystem::exists("/usr/share/pocketsphinx/model/en-us/en-us/mdef"))                \
      GTEST_SKIP() << "pocketsphinx-en-us and pocketsphinx-testdata are not installed";            \
  } while (0)

// 16 kHz mono 16-bit samples of a raw recording.
inline std::vector<int16_t> readRaw(const std::string& name) {
  std::ifstream in(kTestData / name, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

inline std::vector<int16_t> readWav(const std::string& name) {
  SF_INFO info{};
  SNDFILE* file = sf_open((kTestData / name).c_str(), SFM_READ, &info);
  if (!file) return {};
  std::vector<int16_t> samples(static_cast<size_t>(info.frames));
  sf_read_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
  return samples;
}

inline std::vector<int16_t> silence(double seconds) {
  return std::vector<int16_t>(static_cast<size_t>(seconds * 16000), 0);
}

// Silence as a digital chain leaves it: dither of a few steps either side of zero.
inline std::vector<int16_t> ditheredSilence(double seconds, int peak = 3) {
  std::vector<int16_t> out(static_cast<size_t>(seconds * 16000));
  uint32_t state = 12345;
  for (auto& sample : out) {
    state = state * 1664525u + 1013904223u;
    sample = static_cast<int16_t>(static_cast<int>((state >> 16) % (2 * peak + 1)) - peak);
  }
  return out;
}

inline std::vector<int16_t> concat(std::initializer_list<std::vector<int16_t>> parts) {
  std::vector<int16_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline audio::PcmBufferPtr makeBuffer(const int16_t* samples, size_t count) {
  auto buffer = audio::PcmBuffer::make(audio::pcm16Mono16k(), static_cast<uint32_t>(count));
  std::memcpy(buffer->int16ChannelData(0), samples, count * 2);
  buffer->setFrameLength(static_cast<uint32_t>(count));
  return buffer;
}

// The recording cut into 250 ms buffers, as the helpers deliver audio.
inline std::vector<audio::PcmBufferPtr> chunks(const std::vector<int16_t>& samples) {
  std::vector<audio::PcmBufferPtr> out;
  for (size_t i = 0; i < samples.size(); i += 4000)
    out.push_back(makeBuffer(samples.data() + i, std::min<size_t>(4000, samples.size() - i)));
  return out;
}

// A directory removed at the end of the test.
class TempDir {
 public:
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "brimlow-sphinx-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A model directory with the layout the search expects; `fake` files, or links to the
// distribution's en-US model.
inline void makeModelDirectory(const std::filesystem::path& root, const std::string& tag,
                               bool linkDistributionModel = false) {
  namespace fs = std::filesystem;
  const fs::path dir = root / tag;
  fs::create_directories(dir);
  const fs::path source = "/usr/share/pocketsphinx/model/en-us";
  if (linkDistributionModel) {
    fs::create_directory_symlink(source / "en-us", dir / tag);
    fs::create_symlink(source / "en-us.lm.bin", dir / (tag + ".lm.bin"));
    fs::create_symlink(source / "cmudict-en-us.dict", dir / ("cmudict-" + tag + ".dict"));
    return;
  }
  fs::create_directories(dir / tag);
  std::ofstream(dir / tag / "mdef") << "0.3\nfake\n";
  for (const char* name : {"means", "variances", "transition_matrices", "noisedict", "sendump"})
    std::ofstream(dir / tag / name) << "fake\n";
  std::ofstream(dir / (tag + ".lm.bin")) << "fake\n";
  std::ofstream(dir / (tag + ".dict")) << "fake\n";
}

// Points the model search at `root` alone (besides the distribution's directory).
class ModelPathScope {
 public:
  explicit ModelPathScope(const std::filesystem::path& root) {
    speech::EngineSettings settings;
    settings.modelRoots = {root.string()};
    configureEngine(settings);
  }
  ~ModelPathScope() { configureEngine({}); }
};

// Collects what an analyzer's sink receives.
class SinkRecorder {
 public:
  speech::AnalyzerResultSink sink() {
    return {[this](const speech::AnalysisResult& r) {
              // Notified under the lock: once a waiter sees the change, this recorder is no
              // longer touched and the test may destroy it.
              std::lock_guard lock(mutex_);
              results_.push_back(r);
              if (ended_) resultAfterEnd_ = true;
              changed_.notify_all();
            },
            [this](const std::optional<speech::SpeechError>& e) {
              std::lock_guard lock(mutex_);
              ++ends_;
              ended_ = true;
              endError_ = e;
              changed_.notify_all();
            },
            [this](bool waiting) {
              std::lock_guard lock(mutex_);
              waits_.push_back(waiting);
              changed_.notify_all();
            }};
  }
  // The onWaiting calls so far, in order.
  std::vector<bool> waits() const {
    std::lock_guard lock(mutex_);
    return waits_;
  }
  bool waitForWaits(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return waits_.size() >= count; });
  }
  bool waitFor(const std::function<bool(const std::vector<speech::AnalysisResult>&)>& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return done(results_) || ended_; }) &&
           done(results_);
  }
  bool waitForEnd() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return ended_; });
  }
  std::vector<speech::AnalysisResult> results() const {
    std::lock_guard lock(mutex_);
    return results_;
  }
  std::vector<speech::AnalysisResult> finals() const {
    std::vector<speech::AnalysisResult> out;
    for (const auto& r : results())
      if (r.isFinal) out.push_back(r);
    return out;
  }
  int ends() const {
    std::lock_guard lock(mutex_);
    return ends_;
  }
  bool ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
  }
  std::optional<speech::SpeechError> endError() const {
    std::lock_guard lock(mutex_);
    return endError_;
  }
  bool resultAfterEnd() const {
    std::lock_guard lock(mutex_);
    return resultAfterEnd_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<speech::AnalysisResult> results_;
  std::vector<bool> waits_;
  int ends_ = 0;
  bool ended_ = false;
  bool resultAfterEnd_ = false;
  std::optional<speech::SpeechError> endError_;
};

// Collects the calls of a recognition task's handler. Shared, so that a handler that outlives
// the test's frame stays valid.
class HandlerRecorder {
 public:
  struct Call {
    std::optional<speech::RecognitionResult> result;
    std::optional<speech::SpeechError> error;
  };

  static speech::RecognitionHandler handler(const std::shared_ptr<HandlerRecorder>& self) {
    return [self](const std::optional<speech::RecognitionResult>& r,
                  const std::optional<speech::SpeechError>& e) {
      {
        std::lock_guard lock(self->mutex_);
        self->calls_.push_back({r, e});
      }
      self->changed_.notify_all();
    };
  }
  // Waits for the final result or an error.
  bool waitForEnd() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return endedLocked(); });
  }
  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  Call last() const {  // after waitForEnd()
    std::lock_guard lock(mutex_);
    return calls_.back();
  }

 private:
  bool endedLocked() const {
    return !calls_.empty() &&
           (calls_.back().error || (calls_.back().result && calls_.back().result->isFinal));
  }
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
};

}  // namespace brimlow::pocketsphinx::testing
