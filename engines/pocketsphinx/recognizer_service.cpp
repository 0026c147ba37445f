// The recognizer service on PocketSphinx: one utterance per task, ended by the caller.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engines/pocketsphinx/decoder.h"
#include "engines/pocketsphinx/decoder_pool.h"
#include "engines/pocketsphinx/models.h"
#include "engines/pocketsphinx/services.h"
#include "engines/pocketsphinx/spelling.h"

namespace brimlow::pocketsphinx {
namespace {

using speech::AudioBufferRecognitionRequest;
using speech::RecognitionHandler;
using speech::RecognitionResult;
using speech::SpeechError;

struct RunningTasks {
  std::mutex mutex;
  std::condition_variable changed;
  size_t count = 0;
};
// Never destroyed: detached task threads may still finish while the process exits.
RunningTasks& runningTasks() {
  static auto* r = new RunningTasks;
  return *r;
}

// Counts a task's worker from its start to its very end.
class RunningTaskScope {
 public:
  RunningTaskScope() {
    std::lock_guard lock(runningTasks().mutex);
    ++runningTasks().count;
  }
  ~RunningTaskScope() {
    {
      std::lock_guard lock(runningTasks().mutex);
      --runningTasks().count;
    }
    runningTasks().changed.notify_all();
  }
  RunningTaskScope(const RunningTaskScope&) = delete;
  RunningTaskScope& operator=(const RunningTaskScope&) = delete;
};

// What a task's handle and its worker thread share.
struct TaskState {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
  std::atomic<bool> cancelled = false;
  std::atomic<bool> handleGone = false;

  void signal() {
    {
      std::lock_guard lock(mutex);
      signalled = true;
    }
    changed.notify_all();
  }
};

class TaskWorker {
 public:
  TaskWorker(std::shared_ptr<TaskState> state, std::shared_ptr<DecoderPool> pool,
             std::shared_ptr<AudioBufferRecognitionRequest> request, RecognitionHandler handler)
      : state_(std::move(state)),
        pool_(std::move(pool)),
        request_(std::move(request)),
        handler_(std::move(handler)) {}

  void run() {
    std::vector<audio::PcmBufferPtr> buffers;
    for (;;) {
      const bool ended = request_->drain(buffers);
      for (const auto& buffer : buffers) {
        if (state_->cancelled) break;
        if (auto error = process(*buffer)) {
          stop();
          deliver(std::nullopt, error);
          return;
        }
      }
      buffers.clear();
      if (state_->cancelled || abandoned()) {
        stop();
        return;
      }
      if (ended) break;
      std::unique_lock lock(state_->mutex);
      auto wake = [&] { return state_->signalled || state_->cancelled; };
      if (state_->handleGone)
        state_->changed.wait_for(lock, std::chrono::milliseconds(250), wake);
      else
        state_->changed.wait(lock, wake);
      state_->signalled = false;
    }
    finish();
  }

 private:
  // Nobody holds the task or the request any more: no audio and no end can come.
  bool abandoned() const { return state_->handleGone && request_.use_count() == 1; }

  std::optional<SpeechError> process(const audio::PcmBuffer& buffer) {
    const int16_t* samples = buffer.int16ChannelData(0);
    if (buffer.format() != audio::pcm16Mono16k() || !samples)
      return SpeechError{kErrorDomain, kSphinxUnsupportedFormatCode,
                         "PocketSphinx recognizes " + audio::pcm16Mono16k().toString() +
                             " audio, not " + buffer.format().toString()};
    if (buffer.frameLength() == 0) return std::nullopt;
    if (!decoder_) {
      // Borrowed at the first audio: a task waiting for speech holds no decoder.
      auto decoder = pool_->acquire(request_->options().contextualStrings);
      if (!decoder) return decoder.error();
      decoder_ = std::move(*decoder);
      // Word times count from the request's first audio.
      if (!decoder_->startStream() || !decoder_->startUtterance())
        return failure("start an utterance");
    }
    if (!decoder_->process(samples, buffer.frameLength())) return failure("decode audio");
    // Before any speech there is no hypothesis to look at. Afterwards every change counts, also
    // one that shows only after the speech ended: callers may wait for text before they end
    // the audio.
    heardSpeech_ = heardSpeech_ || decoder_->inSpeech();
    if (!request_->options().shouldReportPartialResults || !heardSpeech_) return std::nullopt;
    auto words = decoder_->words();
    auto result = makeResult(words, false);
    if (result.bestTranscription.formattedString.empty() ||
        result.bestTranscription.formattedString == lastPartial_)
      return std::nullopt;
    lastPartial_ = result.bestTranscription.formattedString;
    deliver(result, std::nullopt);
    return std::nullopt;
  }

  void finish() {
    std::vector<Word> words;
    if (decoder_) {
      std::optional<SpeechError> error;
      if (!decoder_->endUtterance()) error = failure("end the utterance");
      words = decoder_->words();
      pool_->release(std::move(decoder_));  // free for the next task before it is started
      if (error) return deliver(std::nullopt, *error);
    }
    if (words.empty())
      return deliver(std::nullopt,
                     SpeechError{kErrorDomain, speech::kNoSpeechErrorCode, "No speech detected"});
    deliver(makeResult(words, true), std::nullopt);
  }

  void stop() {
    if (decoder_) pool_->release(std::move(decoder_));
  }

  RecognitionResult makeResult(const std::vector<Word>& words, bool isFinal) const {
    RecognitionResult result;
    result.isFinal = isFinal;
    result.bestTranscription.formattedString =
        spellTranscript(joinWords(words), request_->options().contextualStrings, isFinal);
    for (const auto& w : words)
      result.bestTranscription.segments.push_back(
          {w.text, w.startSeconds, std::max(0.0, w.endSeconds - w.startSeconds)});
    return result;
  }

  SpeechError failure(const std::string& what) const { return decodingFailure(what, *decoder_); }

  // After cancel() nothing more is delivered, except a call that was already under way.
  void deliver(const std::optional<RecognitionResult>& result,
               const std::optional<SpeechError>& error) {
    if (state_->cancelled || !handler_) return;
    handler_(result, error);
  }

  std::shared_ptr<TaskState> state_;
  std::shared_ptr<DecoderPool> pool_;
  std::shared_ptr<AudioBufferRecognitionRequest> request_;
  RecognitionHandler handler_;
  std::unique_ptr<Decoder> decoder_;
  std::string lastPartial_;
  bool heardSpeech_ = false;
};

class Task final : public speech::RecognitionTask {
 public:
  explicit Task(std::shared_ptr<TaskState> state) : state_(std::move(state)) {}
  // Dropping the handle does not stop recognition: the request may still be fed and ended.
  ~Task() override {
    state_->handleGone = true;
    state_->signal();
  }
  void cancel() override {
    state_->cancelled = true;
    state_->signal();
  }

 private:
  std::shared_ptr<TaskState> state_;
};

class Recognizer final : public speech::SpeechRecognizer {
 public:
  explicit Recognizer(std::shared_ptr<DecoderPool> pool) : pool_(std::move(pool)) {}

  std::string localeIdentifier() const override { return pool_->locale(); }
  bool supportsOnDeviceRecognition() const override {
    return findModel(pool_->locale()).has_value();
  }

  std::shared_ptr<speech::RecognitionTask> recognitionTask(
      std::shared_ptr<AudioBufferRecognitionRequest> request, RecognitionHandler handler) override {
    auto state = std::make_shared<TaskState>();
    auto task = std::make_shared<Task>(state);
    if (!request) {
      if (handler)
        handler(std::nullopt, SpeechError{kErrorDomain, kSphinxDecodingFailedCode, "No request"});
      return task;
    }
    request->setListener([weak = std::weak_ptr<TaskState>(state)] {
      if (auto s = weak.lock()) s->signal();
    });
    try {
      // Each task gets its own thread: tasks wait on their callers' audio for as long as an
      // utterance lasts, and several run at once.
      auto scope = std::make_shared<RunningTaskScope>();
      std::thread([worker = TaskWorker(state, pool_, request, handler), scope]() mutable {
        worker.run();
        // The worker's references (request, handler, decoder) go before the task counts as
        // finished.
        worker = TaskWorker(nullptr, nullptr, nullptr, nullptr);
        scope.reset();
      }).detach();
    } catch (const std::system_error& e) {
      if (handler)
        handler(std::nullopt, SpeechError{kErrorDomain, kSphinxDecodingFailedCode,
                                          std::string("No recognition thread: ") + e.what()});
    }
    return task;
  }

 private:
  std::shared_ptr<DecoderPool> pool_;
};

class RecognizerService final : public speech::RecognizerService {
 public:
  // Linux has no speech permission to ask for.
  speech::AuthorizationStatus authorizationStatus() override {
    return speech::kAuthorizationAuthorized;
  }
  void requestAuthorization(std::function<void(speech::AuthorizationStatus)> completion) override {
    if (completion) completion(speech::kAuthorizationAuthorized);
  }

  std::shared_ptr<speech::SpeechRecognizer> recognizer(const std::string& identifier) override {
    auto locale = supportedLocale(identifier);
    if (!locale) return nullptr;
    return std::make_shared<Recognizer>(DecoderPool::forLocale(*locale));
  }
};

}  // namespace

size_t runningRecognitionTasks() {
  std::lock_guard lock(runningTasks().mutex);
  return runningTasks().count;
}

bool waitForRecognitionTasksToFinish(std::chrono::milliseconds timeout) {
  std::unique_lock lock(runningTasks().mutex);
  return runningTasks().changed.wait_for(lock, timeout, [] { return runningTasks().count == 0; });
}

std::shared_ptr<speech::RecognizerService> makeRecognizerService() {
  silenceEngineLogging();
  limitAllocatorArenas();
  return std::make_shared<RecognizerService>();
}

}  // namespace brimlow::pocketsphinx
