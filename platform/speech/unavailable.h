#pragma once
// Services that honestly answer "not here": no transcriber, no recognizer for any locale.
// Used where no recognition engine is built in.
#include "platform/speech/analysis.h"
#include "platform/speech/recognizer.h"

namespace brimlow::speech {

class UnavailableAnalysisService final : public AnalysisService {
 public:
  bool transcriberIsAvailable() override { return false; }
  std::optional<std::string> supportedLocale(const std::string&) override { return std::nullopt; }
  std::shared_ptr<SpeechTranscriber> makeTranscriber(const std::string&) override {
    return nullptr;
  }
  AssetStatus assetStatus(const SpeechTranscriber&) override { return AssetStatus::unsupported; }
  Expected<std::shared_ptr<AssetInstallationRequest>, SpeechError> assetInstallationRequest(
      const SpeechTranscriber&) override {
    return unexpected(SpeechError{"BrimlowSpeech", 1, "No recognition engine is built in"});
  }
  std::optional<audio::AudioFormat> bestAvailableAudioFormat(const SpeechTranscriber&) override {
    return std::nullopt;
  }
  Expected<std::shared_ptr<SpeechAnalyzer>, SpeechError> makeAnalyzer(
      std::shared_ptr<SpeechTranscriber>, const AnalysisContext&, const audio::AudioFormat&,
      AnalyzerResultSink) override {
    return unexpected(SpeechError{"BrimlowSpeech", 1, "No recognition engine is built in"});
  }
};

// Linux has no speech permission, so it is always granted; there is no recognizer.
class UnavailableRecognizerService final : public RecognizerService {
 public:
  AuthorizationStatus authorizationStatus() override { return kAuthorizationAuthorized; }
  void requestAuthorization(std::function<void(AuthorizationStatus)> completion) override {
    completion(kAuthorizationAuthorized);
  }
  std::shared_ptr<SpeechRecognizer> recognizer(const std::string&) override { return nullptr; }
};

}  // namespace brimlow::speech
