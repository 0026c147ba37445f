// brimlow-stt-helper on the legacy path, as on a system before the analyzer (15.0), with the
// scripted recognizer service. The scenario file named by BRIMLOW_TEST_SCENARIO says what the
// service does (format below). The wall clock follows the newest "capturedAt" of the audio, so
// process tests cross the endpointing thresholds by the times they put on their chunks, never by
// sleeping.
//
// {
//   "authorization": 3, "authorizationAfterRequest": 3,
//   "locales": {"ja-JP": true, "fr-FR": false},            // locale -> on-device model
//   "clockStartMs": 1700000000000,
//   "probe": [task, ...], "probeDefault": task,            // Dictation probe tasks, in order
//   "tasks": [task, ...], "taskDefault": task              // session tasks, in order
// }
// task: {"steps": [step, ...], "onCancel": step}
// step: {"on": "start" | "buffers" | "endAudio", "buffers": n, "delayMs": n,
//        "partial": "text" | "final": "text", "segments": [[timestamp, duration], ...],
//        "error": {"code": n, "description": "...", "domain": "..."}}
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include "platform/helper_platform.h"
#include "tests/scripted/scripted_recognizer.h"
#include "platform/speech/unavailable.h"
#include "stt-helper/backends.h"
#include "stt-helper/helper.h"

namespace {

using namespace brimlow;
using namespace brimlow::speech::scripted;
using nlohmann::json;

ScriptedStep parseStep(const json& j) {
  ScriptedStep step;
  const std::string on = j.value("on", "endAudio");
  if (on == "start")
    step.trigger = ScriptedStep::Trigger::onStart;
  else if (on == "buffers")
    step.trigger = ScriptedStep::Trigger::afterBuffers;
  else
    step.trigger = ScriptedStep::Trigger::onEndAudio;
  step.buffers = j.value("buffers", size_t{0});
  step.delay = std::chrono::milliseconds(j.value("delayMs", 0));
  std::vector<speech::TranscriptionSegment> segments;
  for (const auto& s : j.value("segments", json::array()))
    segments.push_back({"", s.at(0).get<double>(), s.at(1).get<double>()});
  if (j.contains("partial"))
    step.result = makeResult(j["partial"].get<std::string>(), false, segments);
  if (j.contains("final")) step.result = makeResult(j["final"].get<std::string>(), true, segments);
  if (j.contains("error")) {
    const json& e = j["error"];
    step.error = speech::SpeechError{e.value("domain", "kAFAssistantErrorDomain"),
                                     e.value("code", int64_t{0}), e.value("description", "")};
  }
  return step;
}

TaskScript parseTask(const json& j) {
  TaskScript script;
  for (const auto& step : j.value("steps", json::array())) script.steps.push_back(parseStep(step));
  if (j.contains("onCancel")) script.onCancel = parseStep(j["onCancel"]);
  return script;
}

ScriptedRecognizerConfig parseScenario(const json& j) {
  ScriptedRecognizerConfig config;
  config.authorization = j.value("authorization", speech::kAuthorizationAuthorized);
  config.authorizationAfterRequest =
      j.value("authorizationAfterRequest", speech::kAuthorizationAuthorized);
  if (j.contains("locales")) {
    config.locales.clear();
    for (const auto& [locale, onDevice] : j["locales"].items())
      config.locales[locale] = onDevice.get<bool>();
  }
  for (const auto& task : j.value("probe", json::array()))
    config.probeScripts.push_back(parseTask(task));
  if (j.contains("probeDefault")) config.probeDefault = parseTask(j["probeDefault"]);
  for (const auto& task : j.value("tasks", json::array()))
    config.sessionScripts.push_back(parseTask(task));
  if (j.contains("taskDefault")) config.sessionDefault = parseTask(j["taskDefault"]);
  return config;
}

std::atomic<double> clockMs{1'700'000'000'000.0};

// Moves the clock to each chunk's capture time before the real backend sees the chunk.
class ClockFollowingBackend final : public stt::SpeechBackend {
 public:
  explicit ClockFollowingBackend(std::unique_ptr<stt::SpeechBackend> inner)
      : inner_(std::move(inner)) {}
  std::string implementationName() const override { return inner_->implementationName(); }
  void emitStatus() override { inner_->emitStatus(); }
  void startSession(const std::string& id, const std::string& locale,
                    const std::vector<std::string>& vocabulary, bool echoCancellation) override {
    inner_->startSession(id, locale, vocabulary, echoCancellation);
  }
  void appendAudio(const std::string& sessionId, stt::AudioSource source, int64_t sequence,
                   double capturedAt, const std::string& pcmBase64) override {
    if (capturedAt > clockMs.load()) clockMs.store(capturedAt);
    inner_->appendAudio(sessionId, source, sequence, capturedAt, pcmBase64);
  }
  void setSuppressed(const std::string& sessionId, stt::AudioSource source,
                     bool suppressed) override {
    inner_->setSuppressed(sessionId, source, suppressed);
  }
  void stopSession(const std::string& id) override { inner_->stopSession(id); }
  void stopAll() override { inner_->stopAll(); }

 private:
  std::unique_ptr<stt::SpeechBackend> inner_;
};

}  // namespace

int main(int argc, char** argv) {
  json scenario = json::object();
  if (const char* path = std::getenv("BRIMLOW_TEST_SCENARIO")) {
    std::ifstream in(path);
    try {
      in >> scenario;
    } catch (const json::exception& e) {
      std::fprintf(stderr, "bad scenario %s: %s\n", path, e.what());
      return 70;
    }
  }
  clockMs.store(scenario.value("clockStartMs", 1'700'000'000'000.0));
  platform::setClockForTesting([] { return clockMs.load(); });

  platform::HelperPlatform helperPlatform;
  helperPlatform.osVersion = [] { return platform::OsVersion{15, 0, 0}; };
  helperPlatform.analysis = std::make_shared<speech::UnavailableAnalysisService>();
  helperPlatform.recognizer = std::make_shared<ScriptedRecognizerService>(parseScenario(scenario));
  return stt::run(argc, argv, stt::readSettings(), std::move(helperPlatform),
                  [](stt::BackendContext& context) -> std::unique_ptr<stt::SpeechBackend> {
                    return std::make_unique<ClockFollowingBackend>(stt::makeSpeechBackend(context));
                  });
}
