#pragma once
// The analysis service: the engine decides where utterances end. An analyzer takes buffers
// from an unbounded input queue and delivers results, in order, to the sink it was made with.
//
// Threads: calls may be made from any thread and may block (model loading, finalisation), so
// callers make them from worker threads, never from the command loop. Sink callbacks run on a
// thread of the engine's and must not call back into the analyzer.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/expected.h"
#include "platform/speech/speech.h"
#include "support/audio/audio.h"

namespace brimlow::speech {

enum class AssetStatus { unsupported, supported, downloading, installed };

// "unsupported", "supported", "downloading", "installed".
std::string assetStatusName(AssetStatus status);

// A transcriber module for one supported locale, with the progressive-transcription preset:
// partial results first, then final ones.
class SpeechTranscriber {
 public:
  virtual ~SpeechTranscriber() = default;
  virtual std::string localeIdentifier() const = 0;
};

class AssetInstallationRequest {
 public:
  virtual ~AssetInstallationRequest() = default;
  // Blocks until the assets are installed, or fails.
  virtual std::optional<SpeechError> downloadAndInstall() = 0;
};

struct AnalysisContext {
  std::vector<std::string> generalContextualStrings;  // biases recognition
};

struct AnalysisResult {
  std::string text;
  double rangeStartSeconds = 0.0;  // on the gapless input timeline, from 0
  double rangeDurationSeconds = 0.0;
  bool isFinal = false;  // the last result for this range
};

struct AnalyzerResultSink {
  std::function<void(const AnalysisResult&)> onResult;
  // Once, when the results end: nothing on a normal end, the cancellation error (see
  // speech.h) after cancelAndFinishNow(), any other error when analysis failed.
  std::function<void(const std::optional<SpeechError>&)> onEnd;
  // Optional: true when queued input must wait because the engine decodes as many analyzers as
  // it can already, false once this analyzer decodes again.
  std::function<void(bool waiting)> onWaiting;
};

class SpeechAnalyzer {
 public:
  virtual ~SpeechAnalyzer() = default;
  // Queues one buffer in the prepared format; never blocks, never drops. After endInput() the
  // buffer is discarded.
  virtual void append(audio::PcmBufferPtr buffer) = 0;
  // Closes the input queue.
  virtual void endInput() = 0;
  using FinishHandler = std::function<void(const std::optional<SpeechError>&)>;
  // Analyses every queued input, delivers the final results and ends the results, without
  // waiting for any of it: `done` runs once, after the sink's onEnd, with what the results
  // ended with (or at once with a finalisation error), on a thread of the engine's or on the
  // caller's. Results keep flowing to the sink meanwhile.
  virtual void finalizeAndFinish(FinishHandler done) = 0;
  // The same, blocking until `done` would run. Never call it from a sink callback.
  std::optional<SpeechError> finalizeAndFinishThroughEndOfInput();
  // Stops at once; queued input is dropped; the sink ends with the cancellation error.
  virtual void cancelAndFinishNow() = 0;
};

class AnalysisService {
 public:
  virtual ~AnalysisService() = default;
  virtual bool transcriberIsAvailable() = 0;
  // The supported locale equivalent to `identifier` (its identifier), or nothing.
  virtual std::optional<std::string> supportedLocale(const std::string& identifier) = 0;
  virtual std::shared_ptr<SpeechTranscriber> makeTranscriber(
      const std::string& supportedLocale) = 0;
  virtual AssetStatus assetStatus(const SpeechTranscriber& transcriber) = 0;
  // A request, or nullptr when nothing needs installing.
  virtual Expected<std::shared_ptr<AssetInstallationRequest>, SpeechError> assetInstallationRequest(
      const SpeechTranscriber& transcriber) = 0;
  virtual std::optional<audio::AudioFormat> bestAvailableAudioFormat(
      const SpeechTranscriber& transcriber) = 0;
  // Makes an analyzer on a new input queue and prepares it for `format`; analysis starts by
  // itself as buffers arrive.
  virtual Expected<std::shared_ptr<SpeechAnalyzer>, SpeechError> makeAnalyzer(
      std::shared_ptr<SpeechTranscriber> transcriber, const AnalysisContext& context,
      const audio::AudioFormat& format, AnalyzerResultSink sink) = 0;
};

}  // namespace brimlow::speech
