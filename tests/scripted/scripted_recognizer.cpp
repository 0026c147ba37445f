#include "tests/scripted/scripted_recognizer.h"

namespace brimlow::speech::scripted {

RecognitionResult makeResult(std::string text, bool isFinal,
                             std::vector<TranscriptionSegment> segments) {
  RecognitionResult result;
  result.bestTranscription.formattedString = std::move(text);
  result.bestTranscription.segments = std::move(segments);
  result.isFinal = isFinal;
  return result;
}

ScriptedStep ScriptedStep::partial(std::string text, size_t afterBuffers,
                                   std::vector<TranscriptionSegment> segments) {
  ScriptedStep step;
  step.trigger = Trigger::afterBuffers;
  step.buffers = afterBuffers;
  step.result = makeResult(std::move(text), false, std::move(segments));
  return step;
}

ScriptedStep ScriptedStep::final(std::string text, std::vector<TranscriptionSegment> segments,
                                 Trigger trigger, size_t afterBuffers) {
  ScriptedStep step;
  step.trigger = trigger;
  step.buffers = afterBuffers;
  step.result = makeResult(std::move(text), true, std::move(segments));
  return step;
}

ScriptedStep ScriptedStep::failure(int64_t code, std::string description, Trigger trigger,
                                   size_t afterBuffers, std::string domain) {
  ScriptedStep step;
  step.trigger = trigger;
  step.buffers = afterBuffers;
  step.error = SpeechError{std::move(domain), code, std::move(description)};
  return step;
}

// Shared with the request's listener, which may outlive the task object: the request belongs
// to whoever made it.
struct ScriptedRecognitionTask::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<audio::PcmBufferPtr> received;
  bool ended = false;  // the request's audio ended and every buffer was taken
  bool cancelled = false;
  bool stopping = false;
  bool completed = false;
  bool idle = false;

  void drainLocked(AudioBufferRecognitionRequest& request) {
    if (request.drain(received)) ended = true;
  }
};

ScriptedRecognitionTask::ScriptedRecognitionTask(
    std::string locale, std::shared_ptr<AudioBufferRecognitionRequest> request,
    RecognitionHandler handler, TaskScript script)
    : locale_(std::move(locale)),
      request_(std::move(request)),
      handler_(std::move(handler)),
      script_(std::move(script)),
      state_(std::make_shared<State>()) {
  std::weak_ptr<State> weak = state_;
  request_->setListener([weak] {
    if (auto state = weak.lock()) {
      std::lock_guard lock(state->mutex);
      state->idle = false;
      state->changed.notify_all();
    }
  });
  engine_ = std::thread([this] { run(); });
}

ScriptedRecognitionTask::~ScriptedRecognitionTask() {
  stop();
}

void ScriptedRecognitionTask::run() {
  size_t next = 0;
  bool cancelDelivered = false;
  for (;;) {
    std::unique_lock lock(state_->mutex);
    state_->drainLocked(*request_);
    if (state_->stopping) return;
    std::optional<ScriptedStep> step;
    if (state_->cancelled) {
      if (script_.onCancel && !cancelDelivered) {
        step = script_.onCancel;
        cancelDelivered = true;
      }
    } else if (!state_->completed && next < script_.steps.size()) {
      const ScriptedStep& candidate = script_.steps[next];
      bool due = false;
      switch (candidate.trigger) {
        case ScriptedStep::Trigger::onStart:
          due = true;
          break;
        case ScriptedStep::Trigger::afterBuffers:
          due = state_->received.size() >= candidate.buffers;
          break;
        case ScriptedStep::Trigger::onEndAudio:
          due = state_->ended;
          break;
      }
      if (due) {
        step = candidate;
        ++next;
      }
    }
    if (!step) {
      state_->idle = true;
      state_->changed.notify_all();
      state_->changed.wait(lock);
      continue;
    }
    if (step->delay.count() > 0) {
      state_->changed.wait_for(lock, step->delay, [&] { return state_->stopping; });
      if (state_->stopping) return;
    }
    if (step->error || (step->result && step->result->isFinal)) state_->completed = true;
    lock.unlock();
    handler_(step->result, step->error);
  }
}

void ScriptedRecognitionTask::cancel() {
  std::lock_guard lock(state_->mutex);
  state_->cancelled = true;
  state_->idle = false;
  state_->changed.notify_all();
}

void ScriptedRecognitionTask::stop() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->changed.notify_all();
  }
  if (engine_.joinable()) {
    if (engine_.get_id() == std::this_thread::get_id())
      engine_.detach();  // stopped from inside a handler: the loop sees `stopping` and returns
    else
      engine_.join();
  }
}

bool ScriptedRecognitionTask::cancelled() const {
  std::lock_guard lock(state_->mutex);
  return state_->cancelled;
}

bool ScriptedRecognitionTask::completed() const {
  std::lock_guard lock(state_->mutex);
  return state_->completed;
}

std::vector<audio::PcmBufferPtr> ScriptedRecognitionTask::appendedBuffers() {
  std::lock_guard lock(state_->mutex);
  state_->drainLocked(*request_);
  return state_->received;
}

void ScriptedRecognitionTask::deliver(const std::optional<RecognitionResult>& result,
                                      const std::optional<SpeechError>& error) {
  handler_(result, error);
}

bool ScriptedRecognitionTask::waitUntilIdle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [&] { return state_->idle || state_->stopping; });
}

// Reaches its service weakly, so a recognizer kept past the service starts no task.
class ScriptedRecognizer final : public SpeechRecognizer {
 public:
  ScriptedRecognizer(std::weak_ptr<ScriptedRecognizerService> service, std::string locale,
                     bool onDevice)
      : service_(std::move(service)), locale_(std::move(locale)), onDevice_(onDevice) {}
  std::string localeIdentifier() const override { return locale_; }
  bool supportsOnDeviceRecognition() const override { return onDevice_; }
  std::shared_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<AudioBufferRecognitionRequest> request, RecognitionHandler handler) override;

 private:
  std::weak_ptr<ScriptedRecognizerService> service_;
  std::string locale_;
  bool onDevice_;
};

ScriptedRecognizerService::ScriptedRecognizerService(ScriptedRecognizerConfig config)
    : config_(std::move(config)) {}

ScriptedRecognizerService::~ScriptedRecognizerService() {
  shutdown();
}

AuthorizationStatus ScriptedRecognizerService::authorizationStatus() {
  std::lock_guard lock(mutex_);
  return config_.authorization;
}

void ScriptedRecognizerService::requestAuthorization(
    std::function<void(AuthorizationStatus)> completion) {
  AuthorizationStatus status;
  {
    std::lock_guard lock(mutex_);
    config_.authorization = config_.authorizationAfterRequest;
    status = config_.authorization;
  }
  std::thread([completion = std::move(completion), status] { completion(status); }).detach();
}

std::shared_ptr<SpeechRecognizer> ScriptedRecognizerService::recognizer(
    const std::string& localeIdentifier) {
  std::lock_guard lock(mutex_);
  ++recognizerRequests_;
  auto found = config_.locales.find(localeIdentifier);
  if (found == config_.locales.end()) return nullptr;
  return std::make_shared<ScriptedRecognizer>(weak_from_this(), found->first, found->second);
}

std::shared_ptr<RecognitionTask> ScriptedRecognizerService::startTask(
    const std::string& locale, std::shared_ptr<AudioBufferRecognitionRequest> request,
    RecognitionHandler handler) {
  if (!request) return nullptr;
  std::lock_guard lock(mutex_);
  const bool probe = !request->options().shouldReportPartialResults;
  auto& queue = probe ? config_.probeScripts : config_.sessionScripts;
  TaskScript script = probe ? config_.probeDefault : config_.sessionDefault;
  if (!queue.empty()) {
    script = std::move(queue.front());
    queue.pop_front();
  }
  auto task = std::make_shared<ScriptedRecognitionTask>(locale, std::move(request),
                                                        std::move(handler), std::move(script));
  tasks_.push_back(task);
  return task;
}

std::shared_ptr<RecognitionTask> ScriptedRecognizer::recognitionTask(
    std::shared_ptr<AudioBufferRecognitionRequest> request, RecognitionHandler handler) {
  auto service = service_.lock();
  if (!service) return nullptr;
  return service->startTask(locale_, std::move(request), std::move(handler));
}

void ScriptedRecognizerService::setAuthorization(AuthorizationStatus status) {
  std::lock_guard lock(mutex_);
  config_.authorization = status;
}

void ScriptedRecognizerService::setLocale(const std::string& locale, bool onDevice) {
  std::lock_guard lock(mutex_);
  config_.locales[locale] = onDevice;
}

void ScriptedRecognizerService::queueSessionScript(TaskScript script) {
  std::lock_guard lock(mutex_);
  config_.sessionScripts.push_back(std::move(script));
}

void ScriptedRecognizerService::queueProbeScript(TaskScript script) {
  std::lock_guard lock(mutex_);
  config_.probeScripts.push_back(std::move(script));
}

std::vector<std::shared_ptr<ScriptedRecognitionTask>> ScriptedRecognizerService::tasks() const {
  std::lock_guard lock(mutex_);
  return tasks_;
}

std::vector<std::shared_ptr<ScriptedRecognitionTask>> ScriptedRecognizerService::sessionTasks()
    const {
  std::vector<std::shared_ptr<ScriptedRecognitionTask>> out;
  for (auto& task : tasks())
    if (!task->isProbe()) out.push_back(task);
  return out;
}

std::vector<std::shared_ptr<ScriptedRecognitionTask>> ScriptedRecognizerService::probeTasks()
    const {
  std::vector<std::shared_ptr<ScriptedRecognitionTask>> out;
  for (auto& task : tasks())
    if (task->isProbe()) out.push_back(task);
  return out;
}

size_t ScriptedRecognizerService::recognizerRequests() const {
  std::lock_guard lock(mutex_);
  return recognizerRequests_;
}

void ScriptedRecognizerService::shutdown() {
  for (auto& task : tasks()) task->stop();
}

}  // namespace brimlow::speech::scripted
