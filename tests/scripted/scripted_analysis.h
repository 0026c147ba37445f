#pragma once
// A deterministic analysis service for tests: it answers availability, locales, asset status and
// the best format as scripted, and its analyzers replay scripted results when a chosen number of
// buffers has been analysed or at finalisation. Everything the helper hands it is recorded, so
// tests can check formats, frame counts and contextual strings.
//
// Each analyzer analyses on a worker thread of its own and calls its sink from there, like a real
// engine. All methods are thread-safe.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/speech/analysis.h"

namespace brimlow::speech {

struct ScriptedResult {
  // Delivered right after the analyzer took its afterBuffers-th buffer (counted from 1), or,
  // when absent, at finalisation once every queued buffer was taken.
  std::optional<uint32_t> afterBuffers;
  std::string text;
  double startSeconds = 0.0;
  double durationSeconds = 0.0;
  bool isFinal = false;
};

struct ScriptedStreamFailure {
  uint32_t afterBuffers = 0;  // the results end with `error` after this many buffers
  SpeechError error;
};

// A backlog a test can watch being worked off: the analyzer takes no buffer before finalisation
// is requested, and right after its afterBuffers-th buffer (and that buffer's results) it waits
// until something opens the FIFO at `fifo` for writing.
struct ScriptedBacklog {
  uint32_t afterBuffers = 0;
  std::string fifo;
};

struct AnalysisScript {
  bool transcriberAvailable = true;
  std::vector<std::string> unsupportedLocales;  // every other locale is supported as itself
  AssetStatus assetStatus = AssetStatus::installed;
  // Unusual on purpose, so the helper's conversion is exercised.
  std::optional<audio::AudioFormat> bestFormat =
      audio::AudioFormat{48000.0, 1, audio::SampleFormat::float32};
  std::optional<SpeechError> prepareError;  // makeAnalyzer fails with it
  std::optional<SpeechError> installError;  // the installation request fails with it
  std::optional<SpeechError> requestError;  // asking for an installation request fails
  AssetStatus statusAfterInstall = AssetStatus::installed;  // what a successful install leaves
  std::vector<ScriptedResult> results;                      // replayed by every analyzer
  std::optional<ScriptedStreamFailure> streamFailure;
  std::optional<SpeechError> finalizeError;
  std::optional<ScriptedBacklog> backlog;

  // The same script as JSON (the process tests' scenario files); throws nlohmann::json::exception
  // or std::invalid_argument on a malformed script. Keys: "available", "unsupportedLocales",
  // "assetStatus" (name), "bestFormat" ({"sampleRate","channels","sampleFormat"} or null),
  // "statusAfterInstall" (a status name), "requestError",
  // "prepareError", "installError", "finalizeError" ({"domain","code","description"}),
  // "results" ([{"afterBuffers"?,"text","start","duration","final"}]),
  // "streamFailure" ({"afterBuffers","error"}), "backlog" ({"afterBuffers","fifo"}).
  static AnalysisScript fromJson(const nlohmann::json& json);
};

// What one analyzer was made with and what it was given, in order.
struct AnalyzerRecord {
  size_t index = 0;  // creation order within the service
  std::string locale;
  std::vector<std::string> contextualStrings;
  audio::AudioFormat format;
  std::vector<audio::PcmBufferPtr> appended;  // buffers queued before the input ended
  size_t discardedAfterEnd = 0;               // appends after the input was closed
  size_t analysed = 0;                        // buffers taken by the worker
  bool inputEnded = false;
  bool finalized = false;
  bool cancelled = false;
  bool resultsEnded = false;
};

class ScriptedAnalysisService final : public AnalysisService {
 public:
  explicit ScriptedAnalysisService(AnalysisScript script);
  ~ScriptedAnalysisService() override;

  bool transcriberIsAvailable() override;
  std::optional<std::string> supportedLocale(const std::string& identifier) override;
  std::shared_ptr<SpeechTranscriber> makeTranscriber(const std::string& supportedLocale) override;
  AssetStatus assetStatus(const SpeechTranscriber& transcriber) override;
  Expected<std::shared_ptr<AssetInstallationRequest>, SpeechError> assetInstallationRequest(
      const SpeechTranscriber& transcriber) override;
  std::optional<audio::AudioFormat> bestAvailableAudioFormat(
      const SpeechTranscriber& transcriber) override;
  Expected<std::shared_ptr<SpeechAnalyzer>, SpeechError> makeAnalyzer(
      std::shared_ptr<SpeechTranscriber> transcriber, const AnalysisContext& context,
      const audio::AudioFormat& format, AnalyzerResultSink sink) override;

  // A copy of every analyzer's record, in creation order.
  std::vector<AnalyzerRecord> analyzers() const;
  // Waits until `condition` holds for the records; false at the timeout.
  bool waitUntil(const std::function<bool(const std::vector<AnalyzerRecord>&)>& condition,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Called with each record after every change, on the thread that made it; for the process
  // tests' log. Set it before any analyzer exists.
  void setObserver(std::function<void(const AnalyzerRecord&, const std::string& what)> observer);

  struct Shared;  // state shared with the analyzers, which may outlive the service

 private:
  std::shared_ptr<Shared> shared_;
};

// One line of JSON describing a change of an analyzer record, for the process tests' log:
// {"analyzer":i,"event":what,...}; "made" adds "locale", "contextualStrings" and "format",
// "append" adds the buffer's "frames" and "bufferFormat".
nlohmann::json describeRecordChange(const AnalyzerRecord& record, const std::string& what);

}  // namespace brimlow::speech
