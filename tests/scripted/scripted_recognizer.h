#pragma once
// A recognizer service that does exactly what a test tells it to: which locales exist and
// whether they run on the device, what the permission is, and for every task the results,
// segments, errors and pauses it delivers and when. Tests also see what reached each task:
// the buffers appended, whether the audio was ended, whether the task was cancelled.
//
// Each task runs its script on an engine thread of its own, so handlers arrive on a thread that
// is not the caller's, as with a real engine. A test may also deliver a handler call itself, on
// its own thread, with ScriptedRecognitionTask::deliver.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/speech/recognizer.h"

namespace brimlow::speech::scripted {

// One handler call of a task and the moment it is made.
struct ScriptedStep {
  enum class Trigger {
    onStart,       // as soon as the task starts
    afterBuffers,  // once `buffers` buffers in total have reached the task
    onEndAudio,    // once the request's audio has ended (and every buffer reached the task)
  };
  Trigger trigger = Trigger::onEndAudio;
  size_t buffers = 0;
  std::chrono::milliseconds delay{0};  // a pause on the engine thread before the call
  std::optional<RecognitionResult> result;
  std::optional<SpeechError> error;

  static ScriptedStep partial(std::string text, size_t afterBuffers,
                              std::vector<TranscriptionSegment> segments = {});
  static ScriptedStep final(std::string text, std::vector<TranscriptionSegment> segments = {},
                            Trigger trigger = Trigger::onEndAudio, size_t afterBuffers = 0);
  static ScriptedStep failure(int64_t code, std::string description,
                              Trigger trigger = Trigger::onEndAudio, size_t afterBuffers = 0,
                              std::string domain = "kAFAssistantErrorDomain");
};

// What one task does, step by step. The task is over after a final result or an error; a script
// that runs out before either leaves the task waiting, silent, until it is cancelled.
struct TaskScript {
  std::vector<ScriptedStep> steps;
  // Delivered once after cancel(), as an engine may still call the handler one more time.
  std::optional<ScriptedStep> onCancel;
};

struct ScriptedRecognizerConfig {
  AuthorizationStatus authorization = kAuthorizationAuthorized;
  // The status that requestAuthorization reports and keeps.
  AuthorizationStatus authorizationAfterRequest = kAuthorizationAuthorized;
  // Supported locales and whether each has its on-device model. Identifiers match exactly.
  std::map<std::string, bool> locales = {{"ja-JP", true}};
  // Requests without partial results (the Dictation probe's) take probe scripts, every other
  // request a session script; each queue is used in order, then its default for ever.
  std::deque<TaskScript> probeScripts;
  TaskScript probeDefault{{ScriptedStep::final("")}, {}};
  std::deque<TaskScript> sessionScripts;
  TaskScript sessionDefault;
};

class ScriptedRecognitionTask final : public RecognitionTask {
 public:
  ScriptedRecognitionTask(std::string locale,
                          std::shared_ptr<AudioBufferRecognitionRequest> request,
                          RecognitionHandler handler, TaskScript script);
  // Stops the engine thread.
  ~ScriptedRecognitionTask() override;
  ScriptedRecognitionTask(const ScriptedRecognitionTask&) = delete;
  ScriptedRecognitionTask& operator=(const ScriptedRecognitionTask&) = delete;

  void cancel() override;

  const std::string& locale() const { return locale_; }
  const std::shared_ptr<AudioBufferRecognitionRequest>& request() const { return request_; }
  const RecognitionRequestOptions& options() const { return request_->options(); }
  bool isProbe() const { return !request_->options().shouldReportPartialResults; }
  bool cancelled() const;
  bool audioEnded() const { return request_->audioEnded(); }
  // Every buffer appended so far, in order.
  std::vector<audio::PcmBufferPtr> appendedBuffers();
  // True once the script delivered a final result or an error.
  bool completed() const;
  // Calls the handler on the calling thread, as the engine would.
  void deliver(const std::optional<RecognitionResult>& result,
               const std::optional<SpeechError>& error);
  // Waits until the script has nothing more to do now: it completed, it was cancelled, it ran
  // out of steps, or its next step waits for audio that has not come.
  bool waitUntilIdle(std::chrono::milliseconds timeout);

  // Ends the engine thread without any further handler call.
  void stop();

 private:
  struct State;
  void run();

  const std::string locale_;
  const std::shared_ptr<AudioBufferRecognitionRequest> request_;
  const RecognitionHandler handler_;
  const TaskScript script_;
  const std::shared_ptr<State> state_;
  std::thread engine_;
};

// Make it with std::make_shared: its recognizers refer back to it weakly.
class ScriptedRecognizerService final
    : public RecognizerService,
      public std::enable_shared_from_this<ScriptedRecognizerService> {
 public:
  explicit ScriptedRecognizerService(ScriptedRecognizerConfig config = {});
  // Stops every engine thread; no handler is called afterwards.
  ~ScriptedRecognizerService() override;

  AuthorizationStatus authorizationStatus() override;
  void requestAuthorization(std::function<void(AuthorizationStatus)> completion) override;
  std::shared_ptr<SpeechRecognizer> recognizer(const std::string& localeIdentifier) override;

  // Changes for the tasks and questions that come after.
  void setAuthorization(AuthorizationStatus status);
  void setLocale(const std::string& locale, bool onDevice);
  void queueSessionScript(TaskScript script);
  void queueProbeScript(TaskScript script);

  // Every task started so far, in order; or only those of one kind.
  std::vector<std::shared_ptr<ScriptedRecognitionTask>> tasks() const;
  std::vector<std::shared_ptr<ScriptedRecognitionTask>> sessionTasks() const;
  std::vector<std::shared_ptr<ScriptedRecognitionTask>> probeTasks() const;
  size_t recognizerRequests() const;

  // Stops every engine thread now (the destructor does the same).
  void shutdown();

 private:
  friend class ScriptedRecognizer;
  std::shared_ptr<RecognitionTask> startTask(const std::string& locale,
                                             std::shared_ptr<AudioBufferRecognitionRequest> request,
                                             RecognitionHandler handler);

  mutable std::mutex mutex_;
  ScriptedRecognizerConfig config_;
  std::vector<std::shared_ptr<ScriptedRecognitionTask>> tasks_;
  size_t recognizerRequests_ = 0;
};

// A result whose best transcription is `text` with the given segments.
RecognitionResult makeResult(std::string text, bool isFinal,
                             std::vector<TranscriptionSegment> segments = {});

}  // namespace brimlow::speech::scripted
