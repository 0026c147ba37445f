// The legacy channel on the scripted recognizer: endpointing by energy and time, the buffers each
// request receives, and the transcript events that the task's results become.
#include <gtest/gtest.h>

#include "stt-helper/legacy/legacy_channel.h"
#include "tests/legacy/legacy_test_support.h"

namespace brimlow::testing {
namespace {

using stt::AudioSource;
using stt::LegacyRecognitionChannel;
using Channel = std::shared_ptr<LegacyRecognitionChannel>;

class LegacyChannel : public LegacyHarness {
 protected:
  Channel make(std::vector<std::string> vocabulary = {}) {
    auto created = LegacyRecognitionChannel::create(
        "s1", AudioSource::selfAudio, "ja-JP", std::move(vocabulary), writer_,
        [this] { ++dictationReports_; }, *service_, io_);
    EXPECT_TRUE(created) << created.error().description;
    return created ? created.value() : nullptr;
  }
  std::shared_ptr<ScriptedRecognitionTask> task(size_t index) {
    auto tasks = service_->sessionTasks();
    EXPECT_LT(index, tasks.size());
    return index < tasks.size() ? tasks[index] : nullptr;
  }
  // Hands a result or error to the channel as its engine would, then runs the main queue.
  void deliver(size_t taskIndex, std::optional<speech::RecognitionResult> r,
               std::optional<speech::SpeechError> e = std::nullopt) {
    task(taskIndex)->deliver(r, e);
    runQueue();
  }
  // A buffer at the current clock time; the clock then moves on by `stepMs`.
  void feed(const Channel& channel, audio::PcmBufferPtr buffer, double stepMs = 250.0) {
    channel->append(std::move(buffer), 0, clock_.now());
    clock_.advance(stepMs);
  }
  // From a fresh channel to Idle: text, a silence endpoint, the recognizer's final.
  void endFirstUtterance(const Channel& channel) {
    feed(channel, voicedBuffer(), 0);
    deliver(0, result("はい", false));
    clock_.advance(900);
    feed(channel, silentBuffer(), 0);
    ASSERT_TRUE(channel->finishing());
    deliver(0, result("はい", true));
    ASSERT_FALSE(channel->hasTask());
    ASSERT_FALSE(channel->hasRequest());
    events();
  }

  int dictationReports_ = 0;
};

TEST_F(LegacyChannel, CreationFailsWithTheHostsMessagesForPermissionLocaleAndModel) {
  service_->setLocale("fr-FR", false);
  struct Case {
    int authorization;
    std::string locale;
    int64_t code;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {speech::kAuthorizationDenied, "ja-JP", 1,
            "Speech Recognition permission is not authorized"},
           {speech::kAuthorizationNotDetermined, "ja-JP", 1,
            "Speech Recognition permission is not authorized"},
           {speech::kAuthorizationAuthorized, "xx-YY", 2, "Unsupported recognition locale: xx-YY"},
           {speech::kAuthorizationAuthorized, "fr-FR", 3,
            "The on-device recognition model for fr-FR is not installed"}}) {
    service_->setAuthorization(c.authorization);
    auto created = LegacyRecognitionChannel::create("s1", AudioSource::remote, c.locale, {},
                                                    writer_, {}, *service_, io_);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error(), (speech::SpeechError{"BrimlowSTT", c.code, c.message}));
  }
  EXPECT_TRUE(service_->tasks().empty());
  EXPECT_TRUE(events().empty());
}

TEST_F(LegacyChannel, ANewChannelIsCapturingBeforeItsFirstBufferWithTheSessionsRequestOptions) {
  auto channel = make({"Brimlow", "k8s"});
  ASSERT_EQ(service_->sessionTasks().size(), 1u);
  const auto& options = task(0)->options();
  EXPECT_TRUE(options.shouldReportPartialResults);
  EXPECT_TRUE(options.requiresOnDeviceRecognition);
  EXPECT_EQ(options.taskHint, 1);
  EXPECT_EQ(options.contextualStrings, (std::vector<std::string>{"Brimlow", "k8s"}));
  EXPECT_TRUE(channel->hasRequest());
  EXPECT_EQ(channel->utteranceId().size(), 36u);

  // The first utterance takes buffers whether voiced or not; its base is the first buffer's time.
  auto quiet = silentBuffer();
  channel->append(quiet, 1, 4242.0);
  EXPECT_EQ(task(0)->appendedBuffers(), (std::vector<audio::PcmBufferPtr>{quiet}));
  EXPECT_EQ(channel->baseCapturedAt(), 4242.0);
}

TEST_F(LegacyChannel, UtteranceIdsAreUppercaseCanonicalUuidsAndFreshEachTime) {
  const std::string id = stt::makeUtteranceId();
  ASSERT_EQ(id.size(), 36u);
  for (size_t i = 0; i < id.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23)
      EXPECT_EQ(id[i], '-') << id;
    else
      EXPECT_TRUE((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'A' && id[i] <= 'F')) << id;
  }
  EXPECT_EQ(id[14], '4') << id;
  EXPECT_NE(stt::makeUtteranceId(), id);
}

TEST_F(LegacyChannel, NormalizedRmsCountsExactlyTheThresholdAsVoiced) {
  // 15625 samples whose squares add up to 2^30: mean square (0.008 * 32768)^2 exactly.
  std::vector<int16_t> samples(2000, 263);
  samples.insert(samples.end(), 13623, 262);
  samples.push_back(356);
  samples.push_back(374);
  ASSERT_EQ(samples.size(), 15625u);
  auto atThreshold = bufferOf(samples);
  EXPECT_EQ(LegacyRecognitionChannel::normalizedRms(*atThreshold), 0.008);
  samples.back() = 373;
  EXPECT_LT(LegacyRecognitionChannel::normalizedRms(*bufferOf(samples)), 0.008);
  EXPECT_EQ(LegacyRecognitionChannel::normalizedRms(*bufferOf({})), 0.0);
  EXPECT_DOUBLE_EQ(LegacyRecognitionChannel::normalizedRms(*bufferOf({-32768, -32768})), 1.0);

  // In the channel: from Idle, the threshold buffer opens an utterance, the one below does not.
  auto channel = make();
  endFirstUtterance(channel);
  feed(channel, bufferOf(samples));
  EXPECT_FALSE(channel->hasRequest());
  samples.back() = 374;
  feed(channel, bufferOf(samples));
  EXPECT_TRUE(channel->hasRequest());
}

TEST_F(LegacyChannel, FromIdleTheNewRequestGetsTwoPrerollBuffersThenTheVoicedOne) {
  auto channel = make();
  endFirstUtterance(channel);
  std::vector<audio::PcmBufferPtr> buffers{silentBuffer(), silentBuffer(), silentBuffer(),
                                           voicedBuffer()};
  for (size_t i = 0; i < buffers.size(); ++i) channel->append(buffers[i], 0, 1000.0 * (i + 1));
  ASSERT_EQ(service_->sessionTasks().size(), 2u);
  EXPECT_EQ(task(1)->appendedBuffers(),
            (std::vector<audio::PcmBufferPtr>{buffers[1], buffers[2], buffers[3]}));
  EXPECT_EQ(channel->baseCapturedAt(), 2000.0);
  EXPECT_EQ(channel->prerollSize(), 0u);
}

TEST_F(LegacyChannel, SilenceEndsAnUtteranceWithTextAt900MsNot899) {
  auto channel = make();
  feed(channel, voicedBuffer(), 0);
  deliver(0, result("こんにちは", false));
  clock_.advance(899);
  feed(channel, silentBuffer(), 0);
  EXPECT_FALSE(channel->finishing());
  EXPECT_FALSE(task(0)->audioEnded());
  clock_.advance(1);
  feed(channel, silentBuffer(), 0);
  EXPECT_TRUE(channel->finishing());
  EXPECT_FALSE(channel->hasRequest());
  EXPECT_TRUE(channel->hasTask());
  EXPECT_TRUE(task(0)->audioEnded());
  EXPECT_EQ(channel->endpointReason(), "silence");
}

TEST_F(LegacyChannel, WithoutTextNeitherSilenceNorLengthEndsTheUtterance) {
  auto channel = make();
  endFirstUtterance(channel);
  feed(channel, voicedBuffer());
  for (int i = 0; i < 200; ++i) feed(channel, i % 2 ? voicedBuffer() : silentBuffer(), 300);
  EXPECT_FALSE(channel->finishing());
  EXPECT_TRUE(channel->hasRequest());
  EXPECT_FALSE(task(1)->audioEnded());
}

TEST_F(LegacyChannel, AnOpenedUtteranceEndsForLengthAt20SecondsWithMaxSpeech) {
  auto channel = make();
  endFirstUtterance(channel);
  const double opened = clock_.now();
  feed(channel, voicedBuffer(), 0);
  deliver(1, result("長い話", false));
  while (clock_.now() < opened + 19'750) feed(channel, voicedBuffer());
  clock_.set(opened + 19'999);
  feed(channel, voicedBuffer(), 0);
  EXPECT_FALSE(channel->finishing());
  clock_.set(opened + 20'000);
  feed(channel, voicedBuffer(), 0);
  ASSERT_TRUE(channel->finishing());
  EXPECT_EQ(channel->endpointReason(), "max-speech");

  deliver(1, result("長い話です", true));
  auto written = events();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[1]["type"], "transcript.final");
  EXPECT_EQ(written[1]["endpointing"], (json{{"provider", "apple-sfspeech"},
                                             {"reason", "max-speech"},
                                             {"threshold", 0.008},
                                             {"minSilenceMs", 900}}));
}

TEST_F(LegacyChannel, TheFirstUtteranceOfANewChannelIsNeverCutForLength) {
  auto channel = make();
  feed(channel, voicedBuffer());
  deliver(0, result("ずっと話す", false));
  for (int i = 0; i < 120; ++i) feed(channel, voicedBuffer());  // 30 s of voice
  EXPECT_FALSE(channel->finishing());
  clock_.advance(900);
  feed(channel, silentBuffer());
  EXPECT_TRUE(channel->finishing());
  EXPECT_EQ(channel->endpointReason(), "silence");
}

TEST_F(LegacyChannel, PendingKeepsTheNewest40AndReplaysThemInArrivalOrder) {
  auto channel = make();
  feed(channel, voicedBuffer(), 0);
  deliver(0, result("はい", false));
  clock_.advance(900);
  feed(channel, silentBuffer());
  ASSERT_TRUE(channel->finishing());
  std::vector<audio::PcmBufferPtr> arrived;
  for (int i = 0; i < 41; ++i) {
    arrived.push_back(voicedBuffer());
    channel->append(arrived.back(), 0, 100.0 + i);
  }
  ASSERT_EQ(channel->pendingSize(), 40u);
  EXPECT_EQ(channel->pendingCaptureTimes().front(), 101.0);
  EXPECT_EQ(channel->pendingCaptureTimes().back(), 140.0);
  EXPECT_EQ(task(0)->appendedBuffers().size(), 2u);  // nothing reached the finishing request

  deliver(0, result("はい", true));
  EXPECT_FALSE(channel->finishing());
  EXPECT_EQ(channel->pendingSize(), 0u);
  ASSERT_EQ(service_->sessionTasks().size(), 2u);
  EXPECT_EQ(task(1)->appendedBuffers(),
            std::vector<audio::PcmBufferPtr>(arrived.begin() + 1, arrived.end()));
  EXPECT_EQ(channel->baseCapturedAt(), 101.0);
}

TEST_F(LegacyChannel, PartialsAndTheRecognizersFinalCarryTimesFromCaptureAndSegments) {
  auto channel = make();
  const std::string id = channel->utteranceId();
  channel->append(voicedBuffer(), 0, 5000.0);
  clock_.set(7000);
  deliver(0, result("  こんにちは\u3000", false, {{"こんにちは", 0.25, 0.5}}));
  clock_.set(8000);
  deliver(0, result("こんにちは世界", true, {{"こんにちは", 0.25, 0.5}, {"世界", 1.5, 0.4}}));
  auto written = events();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0], (json{{"type", "transcript.partial"},
                              {"sessionId", "s1"},
                              {"utteranceId", id},
                              {"source", "self"},
                              {"text", "こんにちは"},
                              {"startedAt", 5250},
                              {"transcribedAt", 7000}}));
  EXPECT_EQ(written[1], (json{{"type", "transcript.final"},
                              {"sessionId", "s1"},
                              {"utteranceId", id},
                              {"source", "self"},
                              {"text", "こんにちは世界"},
                              {"startedAt", 5250},
                              {"speechEndedAt", 6900},
                              {"transcribedAt", 8000},
                              {"latencyMs", 1100},
                              {"endpointing",
                               {{"provider", "apple-sfspeech"},
                                {"reason", "silence"},
                                {"threshold", 0.008},
                                {"minSilenceMs", 900}}}}));
  // The task ended: the next utterance has a new id.
  EXPECT_NE(channel->utteranceId(), id);
}

TEST_F(LegacyChannel, AFinalWithoutSegmentsStartsAndEndsAtTheBaseAndLatencyIsNeverNegative) {
  auto channel = make();
  channel->append(voicedBuffer(), 0, clock_.now() + 60'000);  // capture time ahead of the clock
  deliver(0, result("未来", true));
  auto written = events();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]["startedAt"], clock_.now() + 60'000);
  EXPECT_EQ(written[0]["speechEndedAt"], clock_.now() + 60'000);
  EXPECT_EQ(written[0]["latencyMs"], 0);
}

TEST_F(LegacyChannel, AFinalOfOnlySpacesGivesAFallbackFinalWithTheLastPartial) {
  auto channel = make();
  const std::string id = channel->utteranceId();
  channel->append(voicedBuffer(), 0, 5000.0);
  deliver(0, result("T", false, {{"T", 0.5, 0.25}}));
  clock_.set(9000);
  deliver(0, result(" \n\t", true));
  auto written = events();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[1], (json{{"type", "transcript.final"},
                              {"sessionId", "s1"},
                              {"utteranceId", id},
                              {"source", "self"},
                              {"text", "T"},
                              {"startedAt", 5500},
                              {"speechEndedAt", 5750},
                              {"transcribedAt", 9000},
                              {"latencyMs", 3250},
                              {"endpointing",
                               {{"provider", "apple-sfspeech"},
                                {"reason", "fallback"},
                                {"threshold", 0.008},
                                {"minSilenceMs", 900}}}}));
}

TEST_F(LegacyChannel, NoSpeechEndsTheTaskQuietlyWithAFallbackOnlyWhenTextWasRecognised) {
  auto channel = make();
  feed(channel, voicedBuffer());
  deliver(0, std::nullopt, speech::SpeechError{"AnyDomain", 1110, "Retry"});
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(channel->hasTask());

  // Next utterance, by description alone, with text recognised first.
  feed(channel, voicedBuffer());
  ASSERT_EQ(service_->sessionTasks().size(), 2u);
  deliver(1, result("えっと", false));
  deliver(1, std::nullopt, speech::SpeechError{"Other", 7, "No Speech detected"});
  auto written = events();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[1]["type"], "transcript.final");
  EXPECT_EQ(written[1]["text"], "えっと");
  EXPECT_EQ(written[1]["endpointing"]["reason"], "fallback");
  EXPECT_EQ(dictationReports_, 0);
}

TEST_F(LegacyChannel, OtherErrorsAreReportedWithSessionAndSourceThenTheUtteranceCloses) {
  auto channel = make();
  feed(channel, voicedBuffer());
  deliver(0, result("途中", false));
  deliver(0, std::nullopt, speech::SpeechError{"kAFAssistantErrorDomain", 203, "Retry later"});
  auto written = events();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[1]["type"], "helper.error");
  EXPECT_EQ(written[1]["message"], "Speech recognition failed: Retry later");
  EXPECT_EQ(written[1]["sessionId"], "s1");
  EXPECT_EQ(written[1]["source"], "self");
  EXPECT_EQ(written[2]["endpointing"]["reason"], "fallback");
  EXPECT_FALSE(channel->hasTask());
}

TEST_F(LegacyChannel, ARecognizerFinalWithoutAnEndpointReportsThePreviousReason) {
  auto channel = make();
  endFirstUtterance(channel);  // its final said "silence": no endpoint of this channel before
  // A max-speech endpoint, then an utterance that the recognizer ends by itself.
  const double opened = clock_.now();
  feed(channel, voicedBuffer(), 0);
  deliver(1, result("a", false));
  clock_.set(opened + 20'000);
  feed(channel, voicedBuffer(), 0);
  deliver(1, result("a", true));
  feed(channel, voicedBuffer());
  deliver(2, result("b", true));
  auto written = events();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[2]["text"], "b");
  EXPECT_EQ(written[2]["endpointing"]["reason"], "max-speech");
}

TEST_F(LegacyChannel, CancelWithDiscardDropsTextAndLateCallsOfTheOldTaskWriteNothing) {
  auto channel = make();
  feed(channel, voicedBuffer());
  deliver(0, result("消える", false));
  events();
  channel->cancel();
  EXPECT_TRUE(task(0)->cancelled());
  EXPECT_FALSE(task(0)->audioEnded());
  deliver(0, result("消える文", true));
  deliver(0, std::nullopt, speech::SpeechError{"x", 500, "late failure"});
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(channel->hasTask());
}

TEST_F(LegacyChannel, FinishFlushesTheLastPartialEndsTheAudioAndCancels) {
  auto channel = make();
  const std::string id = channel->utteranceId();
  channel->append(voicedBuffer(), 0, 5000.0);
  deliver(0, result("まだ", false, {{"まだ", 0.0, 0.5}}));
  events();
  clock_.set(6000);
  channel->finish();
  auto written = events();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]["utteranceId"], id);
  EXPECT_EQ(written[0]["text"], "まだ");
  EXPECT_EQ(written[0]["speechEndedAt"], 5500);
  EXPECT_EQ(written[0]["latencyMs"], 500);
  EXPECT_EQ(written[0]["endpointing"]["reason"], "flush");
  EXPECT_TRUE(task(0)->audioEnded());
  EXPECT_TRUE(task(0)->cancelled());
  deliver(0, result("まだです", true));
  EXPECT_TRUE(events().empty());

  // A finished channel without text writes nothing.
  auto quiet = make();
  quiet->finish();
  EXPECT_TRUE(events().empty());
}

TEST_F(LegacyChannel, DictationOffReportsOnceAndTheRetiredChannelOpensNoNewRequest) {
  auto channel = make();
  feed(channel, voicedBuffer(), 0);
  deliver(0, result("ここまで", false));
  clock_.advance(900);
  feed(channel, silentBuffer());
  ASSERT_TRUE(channel->finishing());
  for (int i = 0; i < 3; ++i) feed(channel, voicedBuffer());  // held back while finishing
  events();
  deliver(0, std::nullopt, speech::SpeechError{"kLSRErrorDomain", 1700, "Dictation is off"});
  EXPECT_EQ(dictationReports_, 1);
  auto written = events();
  ASSERT_EQ(written.size(), 1u);  // no "Speech recognition failed", the text still closes
  EXPECT_EQ(written[0]["endpointing"]["reason"], "fallback");
  EXPECT_EQ(service_->sessionTasks().size(), 1u);  // the held-back voice opened nothing
  EXPECT_EQ(channel->pendingSize(), 0u);
  EXPECT_EQ(channel->state(), LegacyRecognitionChannel::UtteranceState::retired);
  feed(channel, voicedBuffer());  // nor does later voice
  EXPECT_EQ(service_->sessionTasks().size(), 1u);
  EXPECT_EQ(channel->prerollSize(), 0u);
}

TEST_F(LegacyChannel, AnUtteranceGoesFromCapturingToFinishingToIdleAndBackToCapturing) {
  using State = LegacyRecognitionChannel::UtteranceState;
  auto channel = make();
  EXPECT_EQ(channel->state(), State::capturing);  // opened at creation
  endFirstUtterance(channel);
  EXPECT_EQ(channel->state(), State::idle);
  feed(channel, silentBuffer());
  EXPECT_EQ(channel->state(), State::idle);
  EXPECT_EQ(channel->prerollSize(), 1u);
  feed(channel, voicedBuffer(), 0);
  EXPECT_EQ(channel->state(), State::capturing);
  deliver(1, result("もう一度", false));
  clock_.advance(900);
  feed(channel, silentBuffer());
  EXPECT_EQ(channel->state(), State::finishing);
  channel->cancel();
  EXPECT_EQ(channel->state(), State::idle);
  EXPECT_FALSE(channel->hasTask());
}

TEST_F(LegacyChannel, ResultsForAChannelThatIsGoneAreDroppedOnTheEngineThread) {
  service_->queueSessionScript(
      {{ScriptedStep::partial("遅い", 1), ScriptedStep::final("遅い結果")}, {}});
  auto channel = make();
  auto engineTask = task(0);
  feed(channel, voicedBuffer());
  settle(engineTask);
  ASSERT_EQ(events().size(), 1u);  // the partial came through the main queue
  channel.reset();                 // dropped without finish: its open task is cancelled
  EXPECT_TRUE(engineTask->cancelled());
  engineTask->request()->endAudio();
  engineTask->deliver(result("遅い結果", true), std::nullopt);
  runQueue();
  EXPECT_TRUE(events().empty());
}

TEST_F(LegacyChannel, EngineThreadResultsArriveThroughTheMainQueueInOrder) {
  service_->queueSessionScript({{ScriptedStep::partial("一", 1), ScriptedStep::partial("一二", 2),
                                 ScriptedStep::final("一二三")},
                                {}});
  auto channel = make();
  feed(channel, voicedBuffer(), 0);
  feed(channel, voicedBuffer(), 0);
  settle(task(0));
  auto written = events();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0]["text"], "一");
  EXPECT_EQ(written[1]["text"], "一二");
  clock_.advance(900);
  feed(channel, silentBuffer());
  settle(task(0));
  written = events();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]["type"], "transcript.final");
  EXPECT_EQ(written[0]["text"], "一二三");
  EXPECT_FALSE(channel->finishing());
}

}  // namespace
}  // namespace brimlow::testing
