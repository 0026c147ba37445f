#include "tests/scripted/scripted_analysis.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <stdexcept>
#include <thread>

namespace brimlow::speech {

struct ScriptedAnalysisService::Shared {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  AnalysisScript script;
  std::vector<AnalyzerRecord> records;
  std::function<void(const AnalyzerRecord&, const std::string&)> observer;

  // Call with the lock held.
  void recordChanged(size_t index, const std::string& what) {
    if (observer) observer(records[index], what);
    changed.notify_all();
  }
};

namespace {

class ScriptedTranscriber final : public SpeechTranscriber {
 public:
  explicit ScriptedTranscriber(std::string locale) : locale_(std::move(locale)) {}
  std::string localeIdentifier() const override { return locale_; }

 private:
  std::string locale_;
};

class ScriptedInstallationRequest final : public AssetInstallationRequest {
 public:
  explicit ScriptedInstallationRequest(std::shared_ptr<ScriptedAnalysisService::Shared> shared)
      : shared_(std::move(shared)) {}
  std::optional<SpeechError> downloadAndInstall() override {
    std::lock_guard lock(shared_->mutex);
    if (shared_->script.installError) return shared_->script.installError;
    shared_->script.assetStatus = shared_->script.statusAfterInstall;
    return std::nullopt;
  }

 private:
  std::shared_ptr<ScriptedAnalysisService::Shared> shared_;
};

class ScriptedAnalyzer final : public SpeechAnalyzer {
 public:
  ScriptedAnalyzer(std::shared_ptr<ScriptedAnalysisService::Shared> shared, size_t index,
                   AnalyzerResultSink sink)
      : shared_(std::move(shared)), index_(index), sink_(std::move(sink)) {
    worker_ = std::thread([this] { analyse(); });
  }

  ~ScriptedAnalyzer() override {
    {
      std::lock_guard lock(shared_->mutex);
      stopping_ = true;
      shared_->changed.notify_all();
    }
    worker_.join();
  }

  void append(audio::PcmBufferPtr buffer) override {
    std::lock_guard lock(shared_->mutex);
    AnalyzerRecord& record = shared_->records[index_];
    if (record.inputEnded) {
      ++record.discardedAfterEnd;
      shared_->recordChanged(index_, "discard");
      return;
    }
    record.appended.push_back(buffer);
    queue_.push_back(std::move(buffer));
    shared_->recordChanged(index_, "append");
  }

  void endInput() override {
    std::lock_guard lock(shared_->mutex);
    endInputLocked();
  }

  void finalizeAndFinish(FinishHandler done) override {
    std::unique_lock lock(shared_->mutex);
    endInputLocked();
    if (auto error = shared_->script.finalizeError) {
      lock.unlock();
      done(error);
      return;
    }
    if (!ended_) {
      finalizeRequested_ = true;
      finishWaiters_.push_back(std::move(done));
      shared_->changed.notify_all();
      return;
    }
    markFinalized();
    lock.unlock();
    done(std::nullopt);
  }

  void cancelAndFinishNow() override {
    std::unique_lock lock(shared_->mutex);
    endInputLocked();
    if (ended_) return;
    cancelled_ = true;
    shared_->records[index_].cancelled = true;
    shared_->recordChanged(index_, "cancel");
    shared_->changed.wait(lock, [this] { return ended_; });
  }

 private:
  void markFinalized() {
    shared_->records[index_].finalized = true;
    shared_->recordChanged(index_, "finalized");
  }

  void endInputLocked() {
    AnalyzerRecord& record = shared_->records[index_];
    if (record.inputEnded) return;
    record.inputEnded = true;
    shared_->recordChanged(index_, "endInput");
  }

  // The engine: takes queued buffers one by one and delivers what the script says, without
  // holding the lock while it calls the sink.
  void analyse() {
    std::unique_lock lock(shared_->mutex);
    for (;;) {
      const auto& backlog = shared_->script.backlog;
      shared_->changed.wait(lock, [&] {
        return stopping_ || cancelled_ || (!queue_.empty() && !backlog) || finalizeRequested_;
      });
      if (stopping_) return;
      std::vector<AnalysisResult> results;
      std::optional<std::optional<SpeechError>> end;
      std::string holdAt;
      if (cancelled_) {
        queue_.clear();
        end = cancellationError();
      } else if (!queue_.empty()) {
        queue_.pop_front();
        AnalyzerRecord& record = shared_->records[index_];
        const size_t taken = ++record.analysed;
        shared_->recordChanged(index_, "analysed");
        for (const auto& scripted : shared_->script.results) {
          if (scripted.afterBuffers && *scripted.afterBuffers == taken)
            results.push_back(toResult(scripted));
        }
        const auto& failure = shared_->script.streamFailure;
        if (failure && failure->afterBuffers == taken) end = failure->error;
        if (backlog && backlog->afterBuffers == taken) holdAt = backlog->fifo;
      } else {  // finalisation with nothing left in the queue
        for (const auto& scripted : shared_->script.results) {
          if (!scripted.afterBuffers) results.push_back(toResult(scripted));
        }
        end = std::optional<SpeechError>();
      }
      lock.unlock();
      for (const auto& result : results) sink_.onResult(result);
      if (end) sink_.onEnd(*end);
      if (!holdAt.empty()) {
        // Opening a FIFO for reading waits for its writer: no polling, no timing.
        int fd = ::open(holdAt.c_str(), O_RDONLY);
        if (fd >= 0) ::close(fd);
      }
      lock.lock();
      if (end) {
        ended_ = true;
        shared_->records[index_].resultsEnded = true;
        shared_->recordChanged(index_, "ended");
        auto waiters = std::move(finishWaiters_);
        finishWaiters_.clear();
        if (!waiters.empty()) markFinalized();
        lock.unlock();
        for (auto& waiter : waiters) waiter(std::nullopt);
        return;
      }
    }
  }

  static AnalysisResult toResult(const ScriptedResult& scripted) {
    return AnalysisResult{scripted.text, scripted.startSeconds, scripted.durationSeconds,
                          scripted.isFinal};
  }

  std::shared_ptr<ScriptedAnalysisService::Shared> shared_;
  size_t index_;
  AnalyzerResultSink sink_;
  // Guarded by shared_->mutex.
  std::deque<audio::PcmBufferPtr> queue_;
  bool stopping_ = false;
  bool cancelled_ = false;
  bool finalizeRequested_ = false;
  bool ended_ = false;
  std::vector<FinishHandler> finishWaiters_;
  std::thread worker_;
};

SpeechError errorFromJson(const nlohmann::json& json) {
  return SpeechError{json.at("domain").get<std::string>(), json.at("code").get<int64_t>(),
                     json.at("description").get<std::string>()};
}

AssetStatus assetStatusFromName(const std::string& name) {
  for (auto status : {AssetStatus::unsupported, AssetStatus::supported, AssetStatus::downloading,
                      AssetStatus::installed}) {
    if (assetStatusName(status) == name) return status;
  }
  throw std::invalid_argument("unknown asset status " + name);
}

}  // namespace

AnalysisScript AnalysisScript::fromJson(const nlohmann::json& json) {
  AnalysisScript script;
  if (json.contains("available")) script.transcriberAvailable = json.at("available").get<bool>();
  if (json.contains("unsupportedLocales"))
    script.unsupportedLocales = json.at("unsupportedLocales").get<std::vector<std::string>>();
  if (json.contains("assetStatus"))
    script.assetStatus = assetStatusFromName(json.at("assetStatus").get<std::string>());
  if (json.contains("bestFormat")) {
    const auto& format = json.at("bestFormat");
    if (format.is_null()) {
      script.bestFormat.reset();
    } else {
      std::string sampleFormat = format.value("sampleFormat", "float32");
      if (sampleFormat != "float32" && sampleFormat != "int16")
        throw std::invalid_argument("unknown sample format " + sampleFormat);
      script.bestFormat = audio::AudioFormat{
          format.at("sampleRate").get<double>(), format.value("channels", 1u),
          sampleFormat == "int16" ? audio::SampleFormat::int16 : audio::SampleFormat::float32};
    }
  }
  if (json.contains("prepareError")) script.prepareError = errorFromJson(json.at("prepareError"));
  if (json.contains("installError")) script.installError = errorFromJson(json.at("installError"));
  if (json.contains("requestError")) script.requestError = errorFromJson(json.at("requestError"));
  if (json.contains("statusAfterInstall"))
    script.statusAfterInstall =
        assetStatusFromName(json.at("statusAfterInstall").get<std::string>());
  if (json.contains("finalizeError"))
    script.finalizeError = errorFromJson(json.at("finalizeError"));
  if (json.contains("streamFailure")) {
    const auto& failure = json.at("streamFailure");
    script.streamFailure = ScriptedStreamFailure{failure.at("afterBuffers").get<uint32_t>(),
                                                 errorFromJson(failure.at("error"))};
  }
  if (json.contains("backlog")) {
    const auto& backlog = json.at("backlog");
    script.backlog = ScriptedBacklog{backlog.at("afterBuffers").get<uint32_t>(),
                                     backlog.at("fifo").get<std::string>()};
  }
  for (const auto& item : json.value("results", nlohmann::json::array())) {
    ScriptedResult result;
    if (item.contains("afterBuffers"))
      result.afterBuffers = item.at("afterBuffers").get<uint32_t>();
    result.text = item.at("text").get<std::string>();
    result.startSeconds = item.value("start", 0.0);
    result.durationSeconds = item.value("duration", 0.0);
    result.isFinal = item.value("final", false);
    script.results.push_back(std::move(result));
  }
  return script;
}

ScriptedAnalysisService::ScriptedAnalysisService(AnalysisScript script)
    : shared_(std::make_shared<Shared>()) {
  shared_->script = std::move(script);
}

ScriptedAnalysisService::~ScriptedAnalysisService() = default;

bool ScriptedAnalysisService::transcriberIsAvailable() {
  std::lock_guard lock(shared_->mutex);
  return shared_->script.transcriberAvailable;
}

std::optional<std::string> ScriptedAnalysisService::supportedLocale(const std::string& identifier) {
  std::lock_guard lock(shared_->mutex);
  const auto& unsupported = shared_->script.unsupportedLocales;
  if (std::find(unsupported.begin(), unsupported.end(), identifier) != unsupported.end())
    return std::nullopt;
  return identifier;
}

std::shared_ptr<SpeechTranscriber> ScriptedAnalysisService::makeTranscriber(
    const std::string& supportedLocale) {
  return std::make_shared<ScriptedTranscriber>(supportedLocale);
}

AssetStatus ScriptedAnalysisService::assetStatus(const SpeechTranscriber&) {
  std::lock_guard lock(shared_->mutex);
  return shared_->script.assetStatus;
}

Expected<std::shared_ptr<AssetInstallationRequest>, SpeechError>
ScriptedAnalysisService::assetInstallationRequest(const SpeechTranscriber&) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->script.requestError) return unexpected(*shared_->script.requestError);
  if (shared_->script.assetStatus == AssetStatus::installed)
    return std::shared_ptr<AssetInstallationRequest>();
  return std::shared_ptr<AssetInstallationRequest>(
      std::make_shared<ScriptedInstallationRequest>(shared_));
}

std::optional<audio::AudioFormat> ScriptedAnalysisService::bestAvailableAudioFormat(
    const SpeechTranscriber&) {
  std::lock_guard lock(shared_->mutex);
  return shared_->script.bestFormat;
}

Expected<std::shared_ptr<SpeechAnalyzer>, SpeechError> ScriptedAnalysisService::makeAnalyzer(
    std::shared_ptr<SpeechTranscriber> transcriber, const AnalysisContext& context,
    const audio::AudioFormat& format, AnalyzerResultSink sink) {
  size_t index;
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->script.prepareError) return unexpected(*shared_->script.prepareError);
    index = shared_->records.size();
    AnalyzerRecord record;
    record.index = index;
    record.locale = transcriber ? transcriber->localeIdentifier() : std::string();
    record.contextualStrings = context.generalContextualStrings;
    record.format = format;
    shared_->records.push_back(std::move(record));
    shared_->recordChanged(index, "made");
  }
  return std::shared_ptr<SpeechAnalyzer>(
      std::make_shared<ScriptedAnalyzer>(shared_, index, std::move(sink)));
}

std::vector<AnalyzerRecord> ScriptedAnalysisService::analyzers() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->records;
}

bool ScriptedAnalysisService::waitUntil(
    const std::function<bool(const std::vector<AnalyzerRecord>&)>& condition,
    std::chrono::milliseconds timeout) const {
  std::unique_lock lock(shared_->mutex);
  return shared_->changed.wait_for(lock, timeout, [&] { return condition(shared_->records); });
}

void ScriptedAnalysisService::setObserver(
    std::function<void(const AnalyzerRecord&, const std::string&)> observer) {
  std::lock_guard lock(shared_->mutex);
  shared_->observer = std::move(observer);
}

nlohmann::json describeRecordChange(const AnalyzerRecord& record, const std::string& what) {
  nlohmann::json line = {{"analyzer", record.index},
                         {"event", what},
                         {"appendedCount", record.appended.size()},
                         {"discardedAfterEnd", record.discardedAfterEnd},
                         {"analysed", record.analysed},
                         {"inputEnded", record.inputEnded},
                         {"finalized", record.finalized},
                         {"cancelled", record.cancelled},
                         {"resultsEnded", record.resultsEnded}};
  if (what == "made") {
    line["locale"] = record.locale;
    line["contextualStrings"] = record.contextualStrings;
    line["format"] = record.format.toString();
  }
  if (what == "append") {
    const auto& buffer = *record.appended.back();
    line["frames"] = buffer.frameLength();
    line["bufferFormat"] = buffer.format().toString();
  }
  return line;
}

}  // namespace brimlow::speech
