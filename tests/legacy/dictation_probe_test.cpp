// The Dictation probe: how a short task over silence is classified, and the process-wide cache
// with its 30 s recheck of a "disabled" verdict.
#include <gtest/gtest.h>

#include "stt-helper/legacy/dictation_probe.h"
#include "tests/legacy/legacy_test_support.h"

namespace brimlow::testing {
namespace {

using stt::DictationAvailability;

class DictationProbe : public LegacyHarness {
 protected:
  DictationAvailability ask(double timeout = 5.0) {
    return stt::dictationAvailability(*service_, "ja-JP", timeout);
  }
  static TaskScript answering(ScriptedStep step) { return TaskScript{{std::move(step)}, {}}; }
};

TEST_F(DictationProbe, TheProbeRunsOneTaskOver120MsOfSilenceWithoutPartialsThenCancelsIt) {
  EXPECT_EQ(ask(), DictationAvailability::enabled);  // the default task ends with a final
  auto probes = service_->probeTasks();
  ASSERT_EQ(probes.size(), 1u);
  const auto& options = probes[0]->options();
  EXPECT_FALSE(options.shouldReportPartialResults);
  EXPECT_TRUE(options.requiresOnDeviceRecognition);
  EXPECT_EQ(options.taskHint, 1);
  EXPECT_TRUE(options.contextualStrings.empty());
  auto buffers = probes[0]->appendedBuffers();
  ASSERT_EQ(buffers.size(), 1u);
  EXPECT_EQ(buffers[0]->frameLength(), 1920u);
  EXPECT_TRUE(probes[0]->audioEnded());
  EXPECT_TRUE(probes[0]->cancelled());
}

TEST_F(DictationProbe, ErrorsAreClassifiedByCodeOrByDescription) {
  struct Case {
    ScriptedStep step;
    DictationAvailability expected;
  };
  for (const Case& c : std::vector<Case>{
           {ScriptedStep::failure(1700, "whatever"), DictationAvailability::disabled},
           {ScriptedStep::failure(1110, "No speech detected"), DictationAvailability::enabled},
           {ScriptedStep::failure(5, "Siri and Dictation are disabled"),
            DictationAvailability::disabled},
           {ScriptedStep::failure(5, "Dictation failed"), DictationAvailability::enabled},
           {ScriptedStep::final("ignored"), DictationAvailability::enabled}}) {
    service_->queueProbeScript(answering(c.step));
    EXPECT_EQ(stt::probeDictation(*service_, "ja-JP", 5.0), c.expected)
        << (c.step.error ? c.step.error->description : "final");
  }
}

TEST_F(DictationProbe, APartialSaysNothingAndTheFirstAnswerWins) {
  ScriptedStep partial;
  partial.trigger = ScriptedStep::Trigger::onStart;
  partial.result = result("…", false);
  service_->queueProbeScript(
      {{partial, ScriptedStep::failure(1700, "off"), ScriptedStep::final("late")}, {}});
  EXPECT_EQ(stt::probeDictation(*service_, "ja-JP", 5.0), DictationAvailability::disabled);
}

TEST_F(DictationProbe, DisabledErrorTestIgnoresTheDomainAndCase) {
  EXPECT_TRUE(stt::isDictationDisabledError({"any", 1700, ""}));
  EXPECT_TRUE(stt::isDictationDisabledError({"", 1, "DICTATION is DISABLED"}));
  EXPECT_FALSE(stt::isDictationDisabledError({"", 1, "Dictation failed"}));
  EXPECT_FALSE(stt::isDictationDisabledError({"", 1110, "disabled"}));
}

TEST_F(DictationProbe, WithoutPermissionRecognizerOrModelTheAnswerIsUnknownWithoutATask) {
  service_->setAuthorization(speech::kAuthorizationDenied);
  EXPECT_EQ(stt::probeDictation(*service_, "ja-JP", 5.0), DictationAvailability::unknown);
  service_->setAuthorization(speech::kAuthorizationAuthorized);
  EXPECT_EQ(stt::probeDictation(*service_, "xx-YY", 5.0), DictationAvailability::unknown);
  service_->setLocale("fr-FR", false);
  EXPECT_EQ(stt::probeDictation(*service_, "fr-FR", 5.0), DictationAvailability::unknown);
  EXPECT_TRUE(service_->tasks().empty());
}

TEST_F(DictationProbe, UnknownIsCachedForTheLifeOfTheProcess) {
  service_->setAuthorization(speech::kAuthorizationRestricted);
  EXPECT_EQ(ask(), DictationAvailability::unknown);
  EXPECT_EQ(stt::cachedDictationVerdict(), DictationAvailability::unknown);
  service_->setAuthorization(speech::kAuthorizationAuthorized);
  clock_.advance(3'600'000);
  EXPECT_EQ(ask(), DictationAvailability::unknown);
  EXPECT_TRUE(service_->tasks().empty());
}

TEST_F(DictationProbe, ADisabledVerdictIsRecheckedOnceItIs30SecondsOld) {
  EXPECT_FALSE(stt::cachedDictationVerdict());
  stt::recordDictationDisabled();
  EXPECT_EQ(stt::cachedDictationVerdict(), DictationAvailability::disabled);
  clock_.advance(29'999);
  EXPECT_EQ(ask(), DictationAvailability::disabled);
  EXPECT_TRUE(service_->probeTasks().empty());

  service_->queueProbeScript(answering(ScriptedStep::failure(1700, "still off")));
  clock_.advance(1);
  EXPECT_EQ(ask(), DictationAvailability::disabled);
  EXPECT_EQ(service_->probeTasks().size(), 1u);
  // The new verdict restarts the interval.
  clock_.advance(29'000);
  EXPECT_EQ(ask(), DictationAvailability::disabled);
  EXPECT_EQ(service_->probeTasks().size(), 1u);
  clock_.advance(1'000);
  EXPECT_EQ(ask(), DictationAvailability::enabled);  // turned back on
  EXPECT_EQ(service_->probeTasks().size(), 2u);
  clock_.advance(3'600'000);
  EXPECT_EQ(ask(), DictationAvailability::enabled);
  EXPECT_EQ(service_->probeTasks().size(), 2u);
}

TEST_F(DictationProbe, AnEngineThatNeverAnswersGivesUnknownAtTheDeadline) {
  service_->queueProbeScript(TaskScript{});
  EXPECT_EQ(ask(0.05), DictationAvailability::unknown);
  ASSERT_EQ(service_->probeTasks().size(), 1u);
  EXPECT_TRUE(service_->probeTasks()[0]->cancelled());
  // A late answer after the probe gave up touches nothing that is gone.
  service_->probeTasks()[0]->deliver(std::nullopt, speech::SpeechError{"", 1700, "off"});
  EXPECT_EQ(stt::cachedDictationVerdict(), DictationAvailability::unknown);
}

TEST_F(DictationProbe, SilentBufferHasTheRequestedFramesAllZero) {
  auto buffer = stt::makeSilentBuffer(120.0);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->format(), audio::pcm16Mono16k());
  ASSERT_EQ(buffer->frameLength(), 1920u);
  const int16_t* samples = buffer->int16ChannelData(0);
  EXPECT_TRUE(std::all_of(samples, samples + 1920, [](int16_t s) { return s == 0; }));
  EXPECT_EQ(stt::makeSilentBuffer(0.99)->frameLength(), 15u);
}

TEST_F(DictationProbe, VerdictNamesRoundTrip) {
  for (auto verdict : {DictationAvailability::enabled, DictationAvailability::disabled,
                       DictationAvailability::unknown})
    EXPECT_EQ(stt::dictationAvailabilityFromString(stt::toString(verdict)), verdict);
  EXPECT_FALSE(stt::dictationAvailabilityFromString("Enabled"));
}

}  // namespace
}  // namespace brimlow::testing
