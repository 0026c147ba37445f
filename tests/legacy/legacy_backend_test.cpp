// The legacy backend in process: readiness reports, sessions, muting, the Dictation switch, and
// what is written when channels go away while their tasks still answer.
#include <gtest/gtest.h>

#include "protocol/pcm_base64.h"
#include "stt-helper/legacy/legacy_backend.h"
#include "tests/legacy/legacy_test_support.h"

namespace brimlow::testing {
namespace {

using stt::AudioSource;
using stt::ChannelKey;
using stt::LegacySpeechBackend;

class LegacyBackend : public LegacyHarness {
 protected:
  void SetUp() override {
    LegacyHarness::SetUp();
    platform_.recognizer = service_;
    context_ = std::make_unique<stt::BackendContext>(stt::BackendContext{writer_, platform_, io_});
    backend_ = std::make_unique<LegacySpeechBackend>(*context_);
  }
  void TearDown() override {
    backend_.reset();
    LegacyHarness::TearDown();
  }
  void audio(const std::string& session, AudioSource source, const std::vector<int16_t>& samples,
             double capturedAt = 0) {
    backend_->appendAudio(session, source, 1, capturedAt ? capturedAt : clock_.now(),
                          protocol::pcm16Base64(samples));
  }
  static std::vector<int16_t> voice() { return std::vector<int16_t>(4000, 1000); }
  static std::vector<int16_t> quiet() { return std::vector<int16_t>(4000, 0); }
  std::shared_ptr<ScriptedRecognitionTask> lastSessionTask() {
    auto tasks = service_->sessionTasks();
    return tasks.empty() ? nullptr : tasks.back();
  }
  void deliver(std::optional<speech::RecognitionResult> r,
               std::optional<speech::SpeechError> e = std::nullopt) {
    lastSessionTask()->deliver(r, e);
    runQueue();
  }
  static std::vector<std::string> types(const std::vector<json>& events) {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e["type"]);
    return out;
  }

  platform::HelperPlatform platform_;
  std::unique_ptr<stt::BackendContext> context_;
  std::unique_ptr<LegacySpeechBackend> backend_;
};

TEST_F(LegacyBackend, StatusIsReadyOnlyWithPermissionModelAndDictationNotOff) {
  backend_->emitStatus();
  auto written = events();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0], (json{{"type", "helper.status"},
                              {"status", "ready"},
                              {"available", true},
                              {"implementation", "sf-speech-recognizer"},
                              {"authorization", "authorized"},
                              {"modelStatus", "installed"},
                              {"dictation", "enabled"},
                              {"message", "On-device Japanese speech recognition is ready."},
                              {"protocolVersion", 1}}));
}

TEST_F(LegacyBackend, StatusMessagesFollowTheFirstMissingPiece) {
  struct Case {
    int authorization;
    bool onDevice;
    bool dictationOff;
    std::string authorizationLabel, modelStatus, dictation, message;
  };
  for (const Case& c : std::vector<Case>{
           {0, true, false, "not-determined", "installed", "unknown",
            "Run `npm run helper:authorize` once to grant Speech Recognition access."},
           {1, false, false, "denied", "unavailable", "unknown",
            "Enable Speech Recognition for Brimlow in System Settings > Privacy & Security."},
           {7, true, false, "unknown", "installed", "unknown",
            "Enable Speech Recognition for Brimlow in System Settings > Privacy & Security."},
           {3, false, false, "authorized", "unavailable", "unknown",
            "The Japanese on-device recognition model is unavailable. Enable Japanese Dictation "
            "and download its model in System Settings."},
           {3, true, true, "authorized", "installed", "disabled",
            "macOS Dictation is disabled. Turn it on in System Settings > Keyboard > Dictation, "
            "then retry."}}) {
    stt::resetDictationCacheForTesting();
    service_->setAuthorization(c.authorization);
    service_->setLocale("ja-JP", c.onDevice);
    if (c.dictationOff) service_->queueProbeScript({{ScriptedStep::failure(1700, "off")}, {}});
    backend_->emitStatus();
    auto written = events();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0]["status"], "setup-required") << c.message;
    EXPECT_EQ(written[0]["available"], false);
    EXPECT_EQ(written[0]["authorization"], c.authorizationLabel);
    EXPECT_EQ(written[0]["modelStatus"], c.modelStatus);
    EXPECT_EQ(written[0]["dictation"], c.dictation);
    EXPECT_EQ(written[0]["message"], c.message);
  }
}

TEST_F(LegacyBackend, RestartingASessionStopsItFirstAndKeepsTheFirst100Words) {
  std::vector<std::string> words;
  for (int i = 0; i < 150; ++i) words.push_back("w" + std::to_string(i));
  backend_->startSession("s1", "ja-JP", {});
  audio("s1", AudioSource::remote, voice());
  backend_->startSession("s1", "ja-JP", words);
  auto written = events();
  ASSERT_EQ(types(written), (std::vector<std::string>{"session.ready", "session.stopped",
                                                      "session.finished", "session.ready"}));
  EXPECT_EQ(written[3], (json{{"type", "session.ready"},
                              {"sessionId", "s1"},
                              {"available", true},
                              {"implementation", "sf-speech-recognizer"},
                              {"locale", "ja-JP"}}));
  EXPECT_EQ(backend_->channelCount(), 0u);
  audio("s1", AudioSource::remote, voice());
  EXPECT_EQ(lastSessionTask()->options().contextualStrings,
            std::vector<std::string>(words.begin(), words.begin() + 100));
}

TEST_F(LegacyBackend, AnUnavailableSessionStaysOpenAndIsFollowedByAStatus) {
  backend_->startSession("s1", "fr-FR", {});
  auto written = events();
  ASSERT_EQ(types(written), (std::vector<std::string>{"session.ready", "helper.status"}));
  EXPECT_EQ(written[0]["available"], false);
  EXPECT_EQ(written[0]["locale"], "fr-FR");
  EXPECT_EQ(written[1]["status"], "ready");  // the status is about ja-JP
  // Audio then fails channel creation with the locale's message, chunk after chunk.
  audio("s1", AudioSource::selfAudio, voice());
  audio("s1", AudioSource::selfAudio, voice());
  written = events();
  ASSERT_EQ(written.size(), 2u);
  for (const auto& e : written) {
    EXPECT_EQ(e["message"], "Unsupported recognition locale: fr-FR");
    EXPECT_EQ(e["sessionId"], "s1");
    EXPECT_EQ(e["source"], "self");
  }
  EXPECT_EQ(backend_->channelCount(), 0u);
}

TEST_F(LegacyBackend, AudioIsCheckedForSessionAndPayloadBeforeAChannelExists) {
  audio("nope", AudioSource::remote, voice());
  auto written = events();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]["message"], "Audio received before session.start");
  EXPECT_EQ(written[0]["sessionId"], "nope");
  EXPECT_EQ(written[0]["source"], "remote");
  backend_->startSession("s1", "ja-JP", {});
  events();
  backend_->appendAudio("s1", AudioSource::remote, 1, 1.0, "AA A");
  backend_->appendAudio("s1", AudioSource::remote, 2, 1.0, "AA==");
  written = events();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0]["message"], "pcmBase64 is not valid Base64");
  EXPECT_EQ(written[1]["message"], "PCM16 payload must contain an even number of bytes");
  EXPECT_EQ(written[1]["source"], "remote");
  EXPECT_EQ(backend_->channelCount(), 0u);
}

TEST_F(LegacyBackend, MutingCancelsWithoutAFinalAndUnmutingStartsAFreshUtterance) {
  backend_->startSession("s1", "ja-JP", {});
  audio("s1", AudioSource::selfAudio, voice());
  const std::string firstId = backend_->channel({"s1", AudioSource::selfAudio})->utteranceId();
  deliver(speech::scripted::makeResult("聞こえ", false));
  auto oldTask = lastSessionTask();
  events();
  backend_->setSuppressed("s1", AudioSource::selfAudio, true);
  EXPECT_TRUE(oldTask->cancelled());
  oldTask->deliver(speech::scripted::makeResult("聞こえた", true), std::nullopt);
  runQueue();
  audio("s1", AudioSource::selfAudio, voice());  // muted: dropped silently
  auto written = events();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]["type"], "source.suppressed");
  EXPECT_EQ(written[0]["suppressed"], true);
  EXPECT_EQ(service_->sessionTasks().size(), 1u);

  backend_->setSuppressed("s1", AudioSource::selfAudio, false);
  audio("s1", AudioSource::selfAudio, voice());
  ASSERT_EQ(service_->sessionTasks().size(), 2u);
  EXPECT_NE(backend_->channel({"s1", AudioSource::selfAudio})->utteranceId(), firstId);
  // Muting a pair of a session that does not exist is still confirmed.
  backend_->setSuppressed("ghost", AudioSource::remote, true);
  written = events();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[1], (json{{"type", "source.suppressed"},
                              {"sessionId", "ghost"},
                              {"source", "remote"},
                              {"suppressed", true},
                              {"at", clock_.now()}}));
}

TEST_F(LegacyBackend, StoppingFlushesTextWritesStoppedOnceAndForgetsTheSession) {
  backend_->stopSession("unknown");
  EXPECT_TRUE(events().empty());
  backend_->startSession("s1", "ja-JP", {});
  audio("s1", AudioSource::remote, voice());
  deliver(speech::scripted::makeResult("最後", false));
  events();
  backend_->stopSession("s1");
  auto written = events();
  ASSERT_EQ(types(written),
            (std::vector<std::string>{"transcript.final", "session.stopped", "session.finished"}));
  EXPECT_EQ(written[0]["endpointing"]["reason"], "flush");
  EXPECT_EQ(written[1],
            (json{{"type", "session.stopped"}, {"sessionId", "s1"}, {"at", clock_.now()}}));
  EXPECT_EQ(written[2],
            (json{{"type", "session.finished"}, {"sessionId", "s1"}, {"at", clock_.now()}}));
  // What the stopped channel's task still delivers is not the session's any more.
  deliver(speech::scripted::makeResult("最後まで", true));
  EXPECT_TRUE(events().empty());
  audio("s1", AudioSource::remote, voice());
  written = events();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]["message"], "Audio received before session.start");
}

TEST_F(LegacyBackend, StopAllFlushesEveryChannelWithoutStoppedEvents) {
  backend_->startSession("a", "ja-JP", {});
  backend_->startSession("b", "ja-JP", {});
  audio("a", AudioSource::remote, voice());
  deliver(speech::scripted::makeResult("一", false));
  audio("b", AudioSource::selfAudio, voice());
  deliver(speech::scripted::makeResult("二", false));
  events();
  backend_->stopAll();
  auto written = events();
  ASSERT_EQ(types(written), (std::vector<std::string>{"transcript.final", "transcript.final"}));
  EXPECT_EQ(backend_->channelCount(), 0u);
}

TEST_F(LegacyBackend, DictationFoundOffMidTaskDiscardsTheChannelAndNoticesEachSourceOnce) {
  backend_->startSession("s1", "ja-JP", {});
  audio("s1", AudioSource::selfAudio, voice());
  deliver(speech::scripted::makeResult("途中まで", false));
  auto failing = lastSessionTask();
  events();
  ASSERT_EQ(service_->probeTasks().size(), 1u);  // at session start, Dictation was on
  deliver(std::nullopt, speech::SpeechError{"kLSRErrorDomain", 1700, "Dictation is off"});
  auto written = events();
  ASSERT_EQ(types(written),
            (std::vector<std::string>{"helper.error", "helper.status", "transcript.final"}));
  EXPECT_EQ(written[0]["message"], stt::dictationSetupMessage);
  EXPECT_EQ(written[0]["source"], "self");
  EXPECT_EQ(written[1]["dictation"], "disabled");
  EXPECT_EQ(written[2]["endpointing"]["reason"], "fallback");
  EXPECT_EQ(backend_->channelCount(), 0u);
  EXPECT_FALSE(failing->cancelled());  // its task had already ended with the error

  // More of the task's calls after the channel is gone: nothing.
  failing->deliver(speech::scripted::makeResult("幽霊", true), std::nullopt);
  runQueue();
  // Within 30 s: the same pair is dropped silently, the other source is told once.
  clock_.advance(10'000);
  audio("s1", AudioSource::selfAudio, voice());
  audio("s1", AudioSource::remote, voice());
  audio("s1", AudioSource::remote, voice());
  written = events();
  ASSERT_EQ(types(written), (std::vector<std::string>{"helper.error", "helper.status"}));
  EXPECT_EQ(written[0]["source"], "remote");
  EXPECT_EQ(service_->sessionTasks().size(), 1u);
  EXPECT_EQ(service_->probeTasks().size(), 1u);  // the cached verdict answered

  // 30 s after the failure the probe runs again and finds Dictation back on.
  clock_.advance(20'000);
  audio("s1", AudioSource::remote, voice());
  written = events();
  ASSERT_EQ(types(written), (std::vector<std::string>{"helper.status"}));
  EXPECT_EQ(written[0]["status"], "ready");
  EXPECT_EQ(service_->probeTasks().size(), 2u);
  EXPECT_EQ(service_->sessionTasks().size(), 2u);
}

}  // namespace
}  // namespace brimlow::testing
