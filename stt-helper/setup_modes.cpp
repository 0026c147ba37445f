// "--health", "--authorize" and "--install-assets": find out whether recognition can work here
// and put it into working order. Each writes its events and returns the exit code.
#include <condition_variable>
#include <mutex>

#include "stt-helper/backend.h"
#include "stt-helper/legacy/dictation_probe.h"
#include "stt-helper/locale.h"
#include "stt-helper/modes.h"

namespace brimlow::stt {

namespace {

int analyzerHealth(const WriterPtr& writer, speech::AnalysisService& service,
                   const std::string& healthLocale) {
  HelperStatus event;
  event.implementation = kAnalyzerImplementation;
  event.authorization = "not-required";
  auto unavailable = [&] {
    event.status = "unavailable";
    event.available = false;
    event.modelStatus = "unsupported";
    writer->write(encode(event));
    return 1;
  };
  if (!service.transcriberIsAvailable()) return unavailable();
  auto locale = service.supportedLocale(healthLocale);
  if (!locale) return unavailable();
  auto transcriber = service.makeTranscriber(*locale);
  if (!transcriber) return unavailable();
  const speech::AssetStatus status = service.assetStatus(*transcriber);
  const bool installed = status == speech::AssetStatus::installed;
  event.status = installed ? "ready" : "setup-required";
  event.available = installed;
  event.modelStatus = speech::assetStatusName(status);
  writer->write(encode(event));
  return 0;
}

int legacyHealth(const WriterPtr& writer, speech::RecognizerService& service,
                 const std::string& healthLocale) {
  auto recognizer = service.recognizer(healthLocale);
  const speech::AuthorizationStatus authorization = service.authorizationStatus();
  const bool onDevice = recognizer && recognizer->supportsOnDeviceRecognition();
  const DictationAvailability dictation = dictationAvailability(service, healthLocale);
  const bool ready = authorization == speech::kAuthorizationAuthorized && onDevice &&
                     dictation != DictationAvailability::disabled;
  HelperStatus event;
  event.status = ready ? "ready" : "setup-required";
  event.available = ready;
  event.implementation = kLegacyImplementation;
  event.authorization = authorizationLabel(authorization);
  event.modelStatus = onDevice ? "installed" : "unavailable";
  event.dictation = toString(dictation);
  if (dictation == DictationAvailability::disabled) event.message = dictationSetupMessage;
  writer->write(encode(event));
  return 0;
}

Event modelEvent(const std::string& status, const std::string& locale) {
  return encode(HelperModel{status, locale});
}

}  // namespace

int emitHealth(const WriterPtr& writer, platform::HelperPlatform& platform,
               const std::string& defaultLocale) {
  if (usesAnalyzerPath(platform)) return analyzerHealth(writer, *platform.analysis, defaultLocale);
  return legacyHealth(writer, *platform.recognizer, defaultLocale);
}

int requestLegacyAuthorization(const WriterPtr& writer, platform::HelperPlatform& platform) {
  if (usesAnalyzerPath(platform)) {
    writer->write(encode(HelperAuthorization{"not-required", true}));
    return 0;
  }
  // No overall time-out: the mode waits until the user or the system has answered.
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  platform.recognizer->requestAuthorization([&](speech::AuthorizationStatus status) {
    writer->write(encode(HelperAuthorization{authorizationLabel(status),
                                             status == speech::kAuthorizationAuthorized}));
    std::lock_guard lock(mutex);
    done = true;
    answered.notify_all();
  });
  std::unique_lock lock(mutex);
  answered.wait(lock, [&] { return done; });
  return 0;
}

int installSpeechAnalyzerAssets(const WriterPtr& writer, platform::HelperPlatform& platform,
                                const std::string& localeIdentifier) {
  if (!usesAnalyzerPath(platform)) {
    writer->error(
        "SpeechAnalyzer assets require macOS 26 and the macOS 26 SDK (Xcode/Command Line Tools "
        "26)",
        {}, {});
    return 1;
  }
  speech::AnalysisService& service = *platform.analysis;
  auto locale = service.supportedLocale(localeIdentifier);
  auto transcriber = locale ? service.makeTranscriber(*locale) : nullptr;
  if (!transcriber) {
    writer->error("SpeechAnalyzer does not support locale " + localeIdentifier, {}, {});
    return 1;
  }
  writer->write(modelEvent(speech::assetStatusName(service.assetStatus(*transcriber)), *locale));
  auto request = service.assetInstallationRequest(*transcriber);
  if (!request) {
    writer->error("SpeechAnalyzer asset installation failed: " + request.error().description, {},
                  {});
    return 1;
  }
  if (*request) {
    writer->write(modelEvent("downloading", *locale));
    if (auto failure = (*request)->downloadAndInstall()) {
      writer->error("SpeechAnalyzer asset installation failed: " + failure->description, {}, {});
      return 1;
    }
  }
  const speech::AssetStatus final = service.assetStatus(*transcriber);
  writer->write(modelEvent(speech::assetStatusName(final), *locale));
  return final == speech::AssetStatus::installed ? 0 : 1;
}

}  // namespace brimlow::stt
