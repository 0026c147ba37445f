// SpeechAnalyzerChannel on the scripted service: creation checks, results to transcript events,
// finish and cancel.
#include "stt-helper/analyzer/analyzer_channel.h"

#include <future>
#include <regex>

#include <gtest/gtest.h>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include "protocol/pcm_base64.h"
#include "protocol/pcm_payload.h"
#include "support/system/system.h"
#include "tests/analyzer/test_support.h"
#include "tests/scripted/scripted_analysis.h"

namespace brimlow::stt {
namespace {

using nlohmann::json;
using speech::AnalysisResult;
using speech::AnalysisScript;
using speech::ScriptedResult;

TEST(TranscriptEvent, PartialCarriesStartTimeAndUtteranceIdOnly) {
  auto event = makeTranscriptEvent(AnalysisResult{" こんにちは\n", 0.25, 1.0, false}, "s1",
                                   AudioSource::selfAudio, "1A2B3C4D", 1'000'000.0, 1'002'000.5);
  ASSERT_TRUE(event);
  EXPECT_EQ(*event, (json{{"type", "transcript.partial"},
                          {"sessionId", "s1"},
                          {"utteranceId", "s1-self-1A2B3C4D-250"},
                          {"source", "self"},
                          {"text", "こんにちは"},
                          {"startedAt", 1'000'250.0},
                          {"transcribedAt", 1'002'000.5}}));
}

TEST(TranscriptEvent, FinalAddsSpeechEndLatencyAndEndpointing) {
  auto event = makeTranscriptEvent(AnalysisResult{"hello", 2.5, 1.25, true}, "s1",
                                   AudioSource::remote, "00FF00FF", 1'000'000.0, 1'004'050.0);
  ASSERT_TRUE(event);
  EXPECT_EQ(
      *event,
      (json{{"type", "transcript.final"},
            {"sessionId", "s1"},
            {"utteranceId", "s1-remote-00FF00FF-2500"},
            {"source", "remote"},
            {"text", "hello"},
            {"startedAt", 1'002'500.0},
            {"speechEndedAt", 1'003'750.0},
            {"transcribedAt", 1'004'050.0},
            {"latencyMs", 300.0},
            {"endpointing", {{"provider", "apple-speech-analyzer"}, {"reason", "framework"}}}}));
}

TEST(TranscriptEvent, OddRangesAndClockSkewAreClamped) {
  // Negative start counts as 0; a range ending before its start ends at its start; a
  // transcription time before the speech end gives latency 0.
  auto event = makeTranscriptEvent(AnalysisResult{"x", -0.5, 0.2, true}, "s", AudioSource::remote,
                                   "E", 10'000.0, 9'000.0);
  ASSERT_TRUE(event);
  EXPECT_EQ((*event)["startedAt"], 10'000.0);
  EXPECT_EQ((*event)["utteranceId"], "s-remote-E-0");
  EXPECT_EQ((*event)["speechEndedAt"], 10'000.0 - 300.0);
  EXPECT_EQ((*event)["latencyMs"], 0.0);

  auto backwards = makeTranscriptEvent(AnalysisResult{"x", 1.0, -0.5, true}, "s",
                                       AudioSource::remote, "E", 0.0, 5'000.0);
  EXPECT_EQ((*backwards)["speechEndedAt"], 1'000.0);
  // The id's time is truncated toward zero, not rounded.
  auto fraction = makeTranscriptEvent(AnalysisResult{"x", 0.0129, 0, false}, "s",
                                      AudioSource::remote, "E", 0.0, 1.0);
  EXPECT_EQ((*fraction)["utteranceId"], "s-remote-E-12");
  // Without any appended audio, the transcription time is the base.
  auto unbased = makeTranscriptEvent(AnalysisResult{"x", 1.0, 0, false}, "s", AudioSource::remote,
                                     "E", std::nullopt, 7'000.0);
  EXPECT_EQ((*unbased)["startedAt"], 8'000.0);
}

TEST(TranscriptEvent, BlankTextGivesNoEventEvenWhenFinal) {
  EXPECT_FALSE(makeTranscriptEvent(AnalysisResult{" \n\t\u3000", 0, 1, true}, "s",
                                   AudioSource::remote, "E", 0.0, 1.0));
  EXPECT_FALSE(makeTranscriptEvent(AnalysisResult{"", 0, 1, false}, "s", AudioSource::remote, "E",
                                   0.0, 1.0));
}

TEST(Epoch, IsEightUppercaseHexDigitsDrawnPerChannel) {
  std::string a = makeEpoch(), b = makeEpoch();
  EXPECT_TRUE(std::regex_match(a, std::regex("[0-9A-F]{8}"))) << a;
  EXPECT_NE(a, b);
}

AnalysisScript scripted(const std::function<void(AnalysisScript&)>& change) {
  AnalysisScript script;
  change(script);
  return script;
}

class Channel : public ::testing::Test {
 protected:
  void SetUp() override { clock_.install(); }
  void TearDown() override { platform::setClockForTesting({}); }

  template <class Work>
  auto onStrand(Work work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    asio::post(strand_, std::move(task));
    return result.get();
  }
  Expected<std::shared_ptr<SpeechAnalyzerChannel>, speech::SpeechError> create(
      speech::ScriptedAnalysisService& service, const std::string& locale = "ja-JP",
      std::vector<std::string> vocabulary = {}) {
    return onStrand([&] {
      return SpeechAnalyzerChannel::create(service, strand_, "s1", AudioSource::selfAudio, locale,
                                           vocabulary, capture_.writer());
    });
  }
  void append(const std::shared_ptr<SpeechAnalyzerChannel>& channel, size_t samples,
              double capturedAt) {
    auto buffer = makePCMBuffer(protocol::pcm16Base64(std::vector<int16_t>(samples, 100)));
    ASSERT_TRUE(buffer);
    EXPECT_FALSE(onStrand([&] { return channel->append(buffer.value(), capturedAt); }));
  }
  std::optional<speech::SpeechError> finish(const std::shared_ptr<SpeechAnalyzerChannel>& channel) {
    std::promise<std::optional<speech::SpeechError>> done;
    asio::post(strand_, [&] { channel->finish([&](auto error) { done.set_value(error); }); });
    return done.get_future().get();
  }

  platform::ManualClock clock_{1'001'550.0};
  testing::EventCapture capture_;  // outlives the pool, whose work holds its writer
  asio::thread_pool pool_{2};
  asio::any_io_executor strand_ = asio::make_strand(pool_);
};

TEST_F(Channel, CreationFailuresCarryTheirCodesAndWriteNothing) {
  speech::ScriptedAnalysisService unsupported(
      scripted([](auto& s) { s.unsupportedLocales = {"xx-XX"}; }));
  auto result = create(unsupported, "xx-XX");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(),
            (speech::SpeechError{"BrimlowSTT", 10, "Unsupported SpeechAnalyzer locale: xx-XX"}));

  speech::ScriptedAnalysisService missing(
      scripted([](auto& s) { s.assetStatus = speech::AssetStatus::supported; }));
  result = create(missing);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(),
            (speech::SpeechError{"BrimlowSTT", 11,
                                 "SpeechAnalyzer model is not installed; run npm run "
                                 "helper:install-model"}));

  speech::ScriptedAnalysisService noFormat(scripted([](auto& s) { s.bestFormat.reset(); }));
  result = create(noFormat);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), (speech::SpeechError{"BrimlowSTT", 12,
                                                 "No SpeechAnalyzer-compatible audio format is "
                                                 "available"}));

  speech::SpeechError engine{"Engine", 7, "decoder refused the model"};
  speech::ScriptedAnalysisService unprepared(scripted([&](auto& s) { s.prepareError = engine; }));
  result = create(unprepared);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), engine);
  EXPECT_TRUE(capture_.written().empty());
}

TEST_F(Channel, ConvertsQueuesAndWritesResultsOnTheAppendTimeline) {
  AnalysisScript script;
  script.results = {ScriptedResult{2, "途中", 0.25, 0.5, false},
                    ScriptedResult{std::nullopt, "  ", 0.0, 0.1, true},
                    ScriptedResult{std::nullopt, "最後", 0.25, 1.0, true}};
  speech::ScriptedAnalysisService service(script);
  std::vector<std::string> vocabulary{"Brimlow", "議事録", "Brimlow"};
  auto channel = create(service, "ja-JP", vocabulary);
  ASSERT_TRUE(channel);
  append(*channel, 1600, 1'000'000.0);
  append(*channel, 1600, 1'000'100.0);
  append(*channel, 1600, 1'000'200.0);
  ASSERT_FALSE(finish(*channel));

  // Every result was written by the time finish answered.
  auto events = capture_.written();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["type"], "transcript.partial");
  EXPECT_EQ(events[0]["startedAt"], 1'000'250.0);
  const std::string idPrefix = "s1-self-" + (*channel)->epoch() + "-";
  EXPECT_EQ(events[0]["utteranceId"], idPrefix + "250");
  EXPECT_EQ(events[1]["type"], "transcript.final");
  EXPECT_EQ(events[1]["utteranceId"], idPrefix + "250");
  EXPECT_EQ(events[1]["speechEndedAt"], 1'001'250.0);
  EXPECT_EQ(events[1]["transcribedAt"], 1'001'550.0);
  EXPECT_EQ(events[1]["latencyMs"], 300.0);

  auto records = service.analyzers();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].contextualStrings, vocabulary);
  EXPECT_EQ(records[0].locale, "ja-JP");
  EXPECT_EQ(records[0].format, (audio::AudioFormat{48000.0, 1, audio::SampleFormat::float32}));
  ASSERT_EQ(records[0].appended.size(), 3u);
  uint32_t frames = 0;
  for (const auto& buffer : records[0].appended) {
    EXPECT_EQ(buffer->format(), records[0].format);
    frames += buffer->frameLength();
  }
  EXPECT_GT(frames, 3u * 4800u - 1200u);  // all but the filter's held-back tail
  EXPECT_LE(frames, 3u * 4800u);
  EXPECT_TRUE(records[0].finalized);

  // Appends after finishing still succeed and are dropped by the closed queue.
  append(*channel, 1600, 1'000'300.0);
  EXPECT_EQ(service.analyzers()[0].discardedAfterEnd, 1u);
  EXPECT_EQ(capture_.written().size(), 2u);
}

TEST_F(Channel, ABufferInTheAnalyzerFormatIsQueuedWithoutACopy) {
  speech::ScriptedAnalysisService service(
      scripted([](auto& s) { s.bestFormat = audio::pcm16Mono16k(); }));
  auto channel = create(service);
  ASSERT_TRUE(channel);
  auto buffer = makePCMBuffer(protocol::pcm16Base64(std::vector<int16_t>{1, 2, 3}));
  ASSERT_FALSE(onStrand([&] { return (*channel)->append(buffer.value(), 5.0); }));
  ASSERT_FALSE(finish(*channel));
  ASSERT_EQ(service.analyzers()[0].appended.size(), 1u);
  EXPECT_EQ(service.analyzers()[0].appended[0].get(), buffer.value().get());
}

TEST_F(Channel, AFailedResultStreamIsReportedOnceAndFinishStillCompletes) {
  AnalysisScript script;
  script.results = {ScriptedResult{1, "one", 0, 0.1, true},
                    ScriptedResult{std::nullopt, "never", 0, 0.1, true}};
  script.streamFailure = speech::ScriptedStreamFailure{1, {"Engine", 3, "decoder crashed"}};
  speech::ScriptedAnalysisService service(script);
  auto channel = create(service);
  ASSERT_TRUE(channel);
  append(*channel, 160, 0.0);
  capture_.waitForType("helper.error");
  append(*channel, 160, 10.0);  // queued, but nothing answers any more
  ASSERT_FALSE(finish(*channel));
  auto events = capture_.written();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["text"], "one");
  EXPECT_EQ(events[1], (json{{"type", "helper.error"},
                             {"message", "SpeechAnalyzer result stream failed: decoder crashed"},
                             {"sessionId", "s1"},
                             {"source", "self"},
                             {"at", clock_.now()}}));
}

TEST_F(Channel, FinalizationFailureIsPassedOn) {
  speech::SpeechError failure{"Engine", 4, "cannot finalize"};
  speech::ScriptedAnalysisService service(scripted([&](auto& s) { s.finalizeError = failure; }));
  auto channel = create(service);
  ASSERT_TRUE(channel);
  EXPECT_EQ(finish(*channel), failure);
  onStrand([&] { (*channel)->cancel(); });
}

TEST_F(Channel, CancelDropsQueuedAudioAndWritesNothing) {
  AnalysisScript script;
  script.results = {ScriptedResult{std::nullopt, "final", 0, 1, true}};
  speech::ScriptedAnalysisService service(script);
  auto channel = create(service);
  ASSERT_TRUE(channel);
  append(*channel, 1600, 0.0);
  onStrand([&] { (*channel)->cancel(); });
  ASSERT_TRUE(service.waitUntil([](const auto& records) { return records[0].resultsEnded; }));
  channel->reset();
  pool_.join();  // every posted result has been handled
  auto records = service.analyzers();
  EXPECT_TRUE(records[0].cancelled);
  EXPECT_FALSE(records[0].finalized);
  EXPECT_TRUE(capture_.written().empty());
}

}  // namespace
}  // namespace brimlow::stt
