#pragma once
// The recognizer service: one recognition request per utterance, audio appended by the caller
// and ended explicitly; the engine reports partial results, then one final result or an error.
//
// Threads: every call may be made from any thread. Result handlers run on a thread of the
// engine's choosing, never while the caller holds one of the service's locks.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/speech/speech.h"
#include "support/audio/audio.h"

namespace brimlow::speech {

// Speech permission, as raw values: 0 not determined, 1 denied, 2 restricted, 3 authorized.
// Kept as an int so that values this code does not know survive to the label.
using AuthorizationStatus = int;
inline constexpr AuthorizationStatus kAuthorizationNotDetermined = 0;
inline constexpr AuthorizationStatus kAuthorizationDenied = 1;
inline constexpr AuthorizationStatus kAuthorizationRestricted = 2;
inline constexpr AuthorizationStatus kAuthorizationAuthorized = 3;

// Error codes with a meaning for the helpers.
inline constexpr int64_t kNoSpeechErrorCode = 1110;
inline constexpr int64_t kDictationDisabledErrorCode = 1700;

inline constexpr int kTaskHintDictation = 1;

struct RecognitionRequestOptions {
  bool shouldReportPartialResults = true;
  bool requiresOnDeviceRecognition = true;
  int taskHint = kTaskHintDictation;
  std::vector<std::string> contextualStrings;
};

// The audio of one request. The helper appends 16 kHz mono int16 buffers and ends the audio;
// the engine takes them in order. Appends after endAudio() are ignored.
class AudioBufferRecognitionRequest {
 public:
  explicit AudioBufferRecognitionRequest(RecognitionRequestOptions options)
      : options_(std::move(options)) {}

  const RecognitionRequestOptions& options() const { return options_; }

  void appendAudioPCMBuffer(audio::PcmBufferPtr buffer) {
    std::function<void()> listener;
    {
      std::lock_guard lock(mutex_);
      if (ended_ || !buffer) return;
      queue_.push_back(std::move(buffer));
      ++appended_;
      listener = listener_;
    }
    changed_.notify_all();
    if (listener) listener();
  }

  void endAudio() {
    std::function<void()> listener;
    {
      std::lock_guard lock(mutex_);
      if (ended_) return;
      ended_ = true;
      listener = listener_;
    }
    changed_.notify_all();
    if (listener) listener();
  }

  // Engine side. Called (outside the request's lock) after every append and at endAudio().
  void setListener(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
  }
  // Engine side: moves every queued buffer into `out`; true once the audio has ended and the
  // queue is empty afterwards.
  bool drain(std::vector<audio::PcmBufferPtr>& out) {
    std::lock_guard lock(mutex_);
    while (!queue_.empty()) {
      out.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    return ended_;
  }
  // Engine side: waits until a buffer is queued, the audio ended, or `stop` returns true
  // (checked whenever wake() is called).
  void waitForChange(const std::function<bool()>& stop) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !queue_.empty() || ended_ || stop(); });
  }
  void wake() { changed_.notify_all(); }

  bool audioEnded() const {
    std::lock_guard lock(mutex_);
    return ended_;
  }
  size_t appendedCount() const {
    std::lock_guard lock(mutex_);
    return appended_;
  }

 private:
  const RecognitionRequestOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<audio::PcmBufferPtr> queue_;
  std::function<void()> listener_;
  size_t appended_ = 0;
  bool ended_ = false;
};

struct TranscriptionSegment {
  std::string substring;
  double timestamp = 0.0;  // seconds from the first audio of the request
  double duration = 0.0;   // seconds
};

struct Transcription {
  std::string formattedString;
  std::vector<TranscriptionSegment> segments;
};

struct RecognitionResult {
  Transcription bestTranscription;
  bool isFinal = false;
};

// Called zero or more times with partial results, then once with a final result or an error.
// After cancel() it may still be called once more.
using RecognitionHandler = std::function<void(const std::optional<RecognitionResult>& result,
                                              const std::optional<SpeechError>& error)>;

class RecognitionTask {
 public:
  virtual ~RecognitionTask() = default;
  virtual void cancel() = 0;
};

class SpeechRecognizer {
 public:
  virtual ~SpeechRecognizer() = default;
  virtual std::string localeIdentifier() const = 0;
  virtual bool supportsOnDeviceRecognition() const = 0;
  // Returns at once; recognition runs in the background until the request's audio has ended
  // and the final result (or an error) was delivered, or until cancel().
  virtual std::shared_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<AudioBufferRecognitionRequest> request, RecognitionHandler handler) = 0;
};

class RecognizerService {
 public:
  virtual ~RecognizerService() = default;
  virtual AuthorizationStatus authorizationStatus() = 0;
  // Calls `completion` once, on any thread, with the resulting status.
  virtual void requestAuthorization(std::function<void(AuthorizationStatus)> completion) = 0;
  // Nothing when the locale is not supported.
  virtual std::shared_ptr<SpeechRecognizer> recognizer(const std::string& localeIdentifier) = 0;
};

}  // namespace brimlow::speech
