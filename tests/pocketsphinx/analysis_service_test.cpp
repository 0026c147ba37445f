// The analysis service on the real engine: results, utterance ends, the input timeline,
// finalize and cancel, vocabulary, concurrency and a quiet stderr.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "engines/pocketsphinx/decoder_gate.h"
#include "engines/pocketsphinx/decoder_pool.h"
#include "engines/pocketsphinx/services.h"
#include "tests/pocketsphinx/sphinx_test_support.h"

namespace brimlow::pocketsphinx {
namespace {

using namespace std::chrono_literals;
using testing::chunks;
using testing::concat;
using testing::ditheredSilence;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::readRaw;
using testing::readWav;
using testing::silence;
using testing::SinkRecorder;

class AnalysisServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_ENGINE_DATA(); }

  std::shared_ptr<speech::SpeechAnalyzer> makeAnalyzer(SinkRecorder& recorder,
                                                       std::vector<std::string> vocabulary = {}) {
    auto transcriber = service_->makeTranscriber("en-US");
    EXPECT_TRUE(transcriber);
    auto analyzer = service_->makeAnalyzer(transcriber, {std::move(vocabulary)},
                                           audio::pcm16Mono16k(), recorder.sink());
    EXPECT_TRUE(analyzer) << (analyzer ? "" : analyzer.error().description);
    return analyzer ? *analyzer : nullptr;
  }

  static void feed(speech::SpeechAnalyzer& analyzer, const std::vector<int16_t>& samples) {
    for (auto& buffer : chunks(samples)) analyzer.append(buffer);
  }

  std::shared_ptr<speech::AnalysisService> service_ = makeAnalysisService();
};

TEST_F(AnalysisServiceTest, PartialsThenOneFinalWithTheWordRange) {
  SinkRecorder recorder;
  auto analyzer = makeAnalyzer(recorder);
  feed(*analyzer, readRaw("goforward.raw"));
  EXPECT_EQ(analyzer->finalizeAndFinishThroughEndOfInput(), std::nullopt);

  EXPECT_EQ(recorder.ends(), 1);
  EXPECT_EQ(recorder.endError(), std::nullopt);
  auto results = recorder.results();
  ASSERT_GE(results.size(), 3u);
  const auto& final = results.back();
  EXPECT_TRUE(final.isFinal);
  EXPECT_EQ(final.text, "Go forward ten meters.");
  // "go" starts at about 0.46 s, "meters" ends at about 2.12 s.
  EXPECT_NEAR(final.rangeStartSeconds, 0.46, 0.15);
  EXPECT_NEAR(final.rangeStartSeconds + final.rangeDurationSeconds, 2.12, 0.2);
  for (size_t i = 0; i + 1 < results.size(); ++i) {
    SCOPED_TRACE(results[i].text);
    EXPECT_FALSE(results[i].isFinal);
    EXPECT_FALSE(results[i].text.empty());
    EXPECT_NE(results[i].text, i ? results[i - 1].text : "") << "a partial repeats its text";
    // Every result of the utterance shares its start.
    EXPECT_EQ(results[i].rangeStartSeconds, final.rangeStartSeconds);
    EXPECT_GT(results[i].rangeDurationSeconds, 0.0);
  }
}

TEST_F(AnalysisServiceTest, EndOfSpeechEndsTheUtteranceOnTheGaplessTimeline) {
  SinkRecorder recorder;
  auto analyzer = makeAnalyzer(recorder);
  const auto goForward = readRaw("goforward.raw");
  const double clipSeconds = goForward.size() / 16000.0;
  feed(*analyzer, concat({goForward, silence(2.0)}));
  // The voice activity detector ends the utterance: no finalize needed.
  ASSERT_TRUE(recorder.waitFor([](const auto& r) { return !r.empty() && r.back().isFinal; }));

  feed(*analyzer, goForward);
  EXPECT_EQ(analyzer->finalizeAndFinishThroughEndOfInput(), std::nullopt);
  auto finals = recorder.finals();
  ASSERT_EQ(finals.size(), 2u);
  EXPECT_EQ(finals[0].text, "Go forward ten meters.");
  EXPECT_EQ(finals[1].text, "Go forward ten meters.");
  // The second utterance lies one clip plus two seconds of dropped silence later.
  EXPECT_NEAR(finals[1].rangeStartSeconds - finals[0].rangeStartSeconds, clipSeconds + 2.0, 0.1);
  EXPECT_NEAR(finals[1].rangeDurationSeconds, finals[0].rangeDurationSeconds, 0.1);
}

TEST_F(AnalysisServiceTest, DigitalSilenceBeforeTheFirstSpeechNeitherGarblesNorShiftsIt) {
  // A second or more of it before the first speech once turned "go forward ten meters" into
  // "oh sure years"; 2.9 s ends inside a chunk.
  SinkRecorder recorder;
  auto analyzer = makeAnalyzer(recorder);
  feed(*analyzer, concat({ditheredSilence(2.9), readRaw("goforward.raw")}));
  EXPECT_EQ(analyzer->finalizeAndFinishThroughEndOfInput(), std::nullopt);
  auto finals = recorder.finals();
  ASSERT_EQ(finals.size(), 1u);
  EXPECT_EQ(finals[0].text, "Go forward ten meters.");
  EXPECT_NEAR(finals[0].rangeStartSeconds, 2.9 + 0.46, 0.15);
  EXPECT_NEAR(finals[0].rangeStartSeconds + finals[0].rangeDurationSeconds, 2.9 + 2.12, 0.2);
}

TEST_F(AnalysisServiceTest, FinalizeDeliversTheOpenUtterance) {
  SinkRecorder recorder;
  auto analyzer = makeAnalyzer(recorder);
  auto goForward = readRaw("goforward.raw");
  goForward.resize(16000 * 2);  // stops in "meters", speech still open
  feed(*analyzer, goForward);
  analyzer->endInput();
  EXPECT_EQ(analyzer->finalizeAndFinishThroughEndOfInput(), std::nullopt);
  auto finals = recorder.finals();
  ASSERT_EQ(finals.size(), 1u);
  EXPECT_THAT(finals[0].text, HasSubstr("Go forward"));
  EXPECT_TRUE(recorder.results().back().isFinal);
  EXPECT_EQ(recorder.ends(), 1);
  EXPECT_FALSE(recorder.resultAfterEnd());

  // Finished: later calls change nothing.
  analyzer->append(chunks(readRaw("goforward.raw"))[0]);
  EXPECT_EQ(analyzer->finalizeAndFinishThroughEndOfInput(), std::nullopt);
  analyzer->cancelAndFinishNow();
  EXPECT_EQ(recorder.ends(), 1);
}

TEST_F(AnalysisServiceTest, LaterAnalyzersReuseTheDecoderOnAFreshTimeline) {
  auto pool = DecoderPool::forLocale("en-US");
  const auto goForward = readRaw("goforward.raw");
  SinkRecorder first, second;
  const size_t idleBefore = pool->idleCount();
  auto analyzer = makeAnalyzer(first);
  feed(*analyzer, concat({silence(1.0), goForward}));
  EXPECT_EQ(analyzer->finalizeAndFinishThroughEndOfInput(), std::nullopt);
  EXPECT_EQ(pool->idleCount(), idleBefore + 1);

  // The next one takes that decoder with its first audio instead of loading another.
  auto next = makeAnalyzer(second);
  feed(*next, goForward);
  EXPECT_EQ(next->finalizeAndFinishThroughEndOfInput(), std::nullopt);
  EXPECT_EQ(pool->idleCount(), idleBefore + 1);
  ASSERT_EQ(first.finals().size(), 1u);
  ASSERT_EQ(second.finals().size(), 1u);
  EXPECT_EQ(second.finals()[0].text, "Go forward ten meters.");
  EXPECT_NEAR(first.finals()[0].rangeStartSeconds - second.finals()[0].rangeStartSeconds, 1.0, 0.1);
}

TEST_F(AnalysisServiceTest, SilenceAloneGivesNoResult) {
  SinkRecorder recorder;
  auto analyzer = makeAnalyzer(recorder);
  feed(*analyzer, silence(3.0));
  EXPECT_EQ(analyzer->finalizeAndFinishThroughEndOfInput(), std::nullopt);
  EXPECT_TRUE(recorder.results().empty());
  EXPECT_EQ(recorder.ends(), 1);
}

TEST_F(AnalysisServiceTest, CancelDropsQueuedInputAndEndsWithCancellation) {
  SinkRecorder recorder;
  auto analyzer = makeAnalyzer(recorder);
  const auto goForward = readRaw("goforward.raw");
  for (int i = 0; i < 8; ++i) feed(*analyzer, goForward);  // 22 s queued
  analyzer->cancelAndFinishNow();

  // Ended when cancel returns; nothing comes afterwards.
  EXPECT_TRUE(recorder.ended());
  EXPECT_EQ(recorder.ends(), 1);
  ASSERT_TRUE(recorder.endError());
  EXPECT_TRUE(speech::isCancellation(*recorder.endError()));
  EXPECT_LT(recorder.finals().size(), 8u);
  const auto delivered = recorder.results().size();
  analyzer->append(chunks(goForward)[0]);
  auto finalized = analyzer->finalizeAndFinishThroughEndOfInput();
  ASSERT_TRUE(finalized);
  EXPECT_TRUE(speech::isCancellation(*finalized));
  EXPECT_EQ(recorder.results().size(), delivered);
  EXPECT_FALSE(recorder.resultAfterEnd());
}

TEST_F(AnalysisServiceTest, ReleasingAnUnfinishedAnalyzerEndsItsResults) {
  SinkRecorder recorder;
  {
    auto analyzer = makeAnalyzer(recorder);
    feed(*analyzer, readRaw("goforward.raw"));
  }
  EXPECT_EQ(recorder.ends(), 1);
  ASSERT_TRUE(recorder.endError());
  EXPECT_TRUE(speech::isCancellation(*recorder.endError()));
}

TEST_F(AnalysisServiceTest, ASinkMayReleaseTheLastReferenceToItsAnalyzer) {
  SinkRecorder recorder;
  std::mutex mutex;
  std::shared_ptr<speech::SpeechAnalyzer> held;
  auto sink = recorder.sink();
  auto onResult = sink.onResult;
  sink.onResult = [&, onResult](const speech::AnalysisResult& result) {
    onResult(result);
    std::shared_ptr<speech::SpeechAnalyzer> last;
    std::lock_guard lock(mutex);
    last.swap(held);  // released here, on the analyzer's own thread
  };
  auto transcriber = service_->makeTranscriber("en-US");
  auto analyzer = service_->makeAnalyzer(transcriber, {}, audio::pcm16Mono16k(), sink);
  ASSERT_TRUE(analyzer);
  {
    std::lock_guard lock(mutex);
    held = *analyzer;
  }
  feed(**analyzer, readRaw("goforward.raw"));
  analyzer = unexpected(speech::SpeechError{});
  ASSERT_TRUE(recorder.waitForEnd());
  ASSERT_TRUE(recorder.endError());
  EXPECT_TRUE(speech::isCancellation(*recorder.endError()));
  EXPECT_EQ(recorder.results().size(), 1u);
}

TEST_F(AnalysisServiceTest, OnlyTheModelsOwnFormatIsAccepted) {
  SinkRecorder recorder;
  auto transcriber = service_->makeTranscriber("en-US");
  auto analyzer = service_->makeAnalyzer(
      transcriber, {}, audio::AudioFormat{48000.0, 2, audio::SampleFormat::float32},
      recorder.sink());
  ASSERT_FALSE(analyzer);
  EXPECT_EQ(analyzer.error().code, kSphinxUnsupportedFormatCode);
  EXPECT_THAT(analyzer.error().description, HasSubstr("48000 Hz, 2 ch, float32"));

  // A buffer in another format ends the analysis with an error instead of decoding noise.
  auto good = makeAnalyzer(recorder);
  auto stereo = audio::PcmBuffer::make({16000.0, 2, audio::SampleFormat::int16}, 160);
  stereo->setFrameLength(160);
  good->append(stereo);
  auto error = good->finalizeAndFinishThroughEndOfInput();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, kSphinxUnsupportedFormatCode);
  EXPECT_EQ(recorder.endError(), error);
}

TEST_F(AnalysisServiceTest, VocabularyMakesAMisheardPhraseRecognisable) {
  const auto clip = readWav(testing::kIllDisposedClip);
  ASSERT_FALSE(clip.empty());
  SinkRecorder plain, biased;
  auto withoutVocabulary = makeAnalyzer(plain);
  // The hyphen separates words for the engine; the transcript spells the term as given.
  auto withVocabulary = makeAnalyzer(biased, {"Zyxwvut", "ill-disposed"});
  feed(*withoutVocabulary, clip);
  feed(*withVocabulary, clip);
  EXPECT_EQ(withoutVocabulary->finalizeAndFinishThroughEndOfInput(), std::nullopt);
  EXPECT_EQ(withVocabulary->finalizeAndFinishThroughEndOfInput(), std::nullopt);

  auto text = [](const SinkRecorder& r) {
    std::string all;
    for (const auto& f : r.finals()) all += f.text + " ";
    return all;
  };
  EXPECT_THAT(text(plain), Not(HasSubstr("ill disposed")));
  EXPECT_THAT(text(biased), HasSubstr("ill-disposed young man"));
}

TEST_F(AnalysisServiceTest, TwoAnalyzersOnTwoThreads) {
  const auto goForward = readRaw("goforward.raw");
  SinkRecorder first, second;
  auto run = [&](SinkRecorder& recorder) {
    auto analyzer = makeAnalyzer(recorder);
    feed(*analyzer, concat({goForward, silence(1.0), goForward}));
    EXPECT_EQ(analyzer->finalizeAndFinishThroughEndOfInput(), std::nullopt);
  };
  std::thread a(run, std::ref(first));
  std::thread b(run, std::ref(second));
  a.join();
  b.join();
  for (auto* recorder : {&first, &second}) {
    auto finals = recorder->finals();
    ASSERT_EQ(finals.size(), 2u);
    EXPECT_EQ(finals[0].text, "Go forward ten meters.");
    EXPECT_EQ(finals[1].text, "Go forward ten meters.");
  }
}

TEST_F(AnalysisServiceTest, OnlyAnalyzersWithAudioHoldAPlaceAndTheOthersWaitTheirTurn) {
  auto gate = std::make_shared<DecoderGate>(1);
  service_ = makeAnalysisService({gate, 200ms});
  const auto goForward = readRaw("goforward.raw");
  SinkRecorder silent, first, late, dropped;
  // Without audio an analyzer holds no place: the one place goes to the first with audio.
  auto idle = makeAnalyzer(silent);
  auto busy = makeAnalyzer(first);
  feed(*busy, concat({goForward, silence(1.0)}));
  ASSERT_TRUE(first.waitFor([](const auto& r) { return !r.empty() && r.back().isFinal; }));
  EXPECT_EQ(gate->working(), 1);
  auto waiting = makeAnalyzer(late);
  auto cancelled = makeAnalyzer(dropped);
  feed(*waiting, goForward);
  feed(*cancelled, goForward);
  waiting->finalizeAndFinish([](const std::optional<speech::SpeechError>&) {});
  ASSERT_TRUE(late.waitForWaits(1));
  ASSERT_TRUE(dropped.waitForWaits(1));
  // One still waiting for a place can be cancelled without waiting for it.
  cancelled->cancelAndFinishNow();
  EXPECT_EQ(dropped.ends(), 1);

  // The first's input has run dry: its place goes to the next in turn, which decodes all it
  // was given.
  ASSERT_TRUE(late.waitForEnd());
  EXPECT_EQ(late.waits(), (std::vector<bool>{true, false}));
  EXPECT_EQ(late.endError(), std::nullopt);
  ASSERT_EQ(late.finals().size(), 1u);
  EXPECT_EQ(late.finals().front().text, "Go forward ten meters.");
  EXPECT_TRUE(first.waits().empty());
  EXPECT_TRUE(silent.results().empty() && silent.waits().empty());
  EXPECT_EQ(first.ends(), 0);
}

TEST_F(AnalysisServiceTest, AudioAfterAnIdleSpellIsTimedOnTheSameTimeline) {
  auto gate = std::make_shared<DecoderGate>(1);
  service_ = makeAnalysisService({gate, 100ms});
  SinkRecorder recorder;
  auto analyzer = makeAnalyzer(recorder);
  const auto goForward = readRaw("goforward.raw");
  const double clipSeconds = goForward.size() / 16000.0;
  feed(*analyzer, concat({goForward, silence(1.0)}));
  ASSERT_TRUE(recorder.waitFor([](const auto& r) { return !r.empty() && r.back().isFinal; }));
  // The decoder goes back once the input has run dry, and comes again with the next audio.
  const auto deadline = std::chrono::steady_clock::now() + testing::kDeadline;
  while (gate->working() != 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);  // the gate has no notification to wait on
  ASSERT_EQ(gate->working(), 0);
  feed(*analyzer, goForward);
  EXPECT_EQ(analyzer->finalizeAndFinishThroughEndOfInput(), std::nullopt);
  auto finals = recorder.finals();
  ASSERT_EQ(finals.size(), 2u);
  EXPECT_EQ(finals[1].text, "Go forward ten meters.");
  EXPECT_NEAR(finals[1].rangeStartSeconds - finals[0].rangeStartSeconds, clipSeconds + 1.0, 0.1);
  EXPECT_EQ(gate->working(), 0);
}

TEST_F(AnalysisServiceTest, EngineWritesNothingToStderr) {
  // Route stderr into a file while a decoder is made, fed and finished.
  std::FILE* capture = std::tmpfile();
  ASSERT_TRUE(capture);
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  dup2(fileno(capture), STDERR_FILENO);
  {
    auto service = makeAnalysisService();
    SinkRecorder recorder;
    auto transcriber = service->makeTranscriber("en-US");
    auto analyzer = service->makeAnalyzer(transcriber, {{"ill disposed"}}, audio::pcm16Mono16k(),
                                          recorder.sink());
    if (analyzer) {
      feed(**analyzer, concat({silence(0.5), readRaw("goforward.raw")}));
      (*analyzer)->finalizeAndFinishThroughEndOfInput();
    }
  }
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  const off_t written = lseek(fileno(capture), 0, SEEK_END);
  std::fclose(capture);
  EXPECT_EQ(written, 0);
}

}  // namespace
}  // namespace brimlow::pocketsphinx
