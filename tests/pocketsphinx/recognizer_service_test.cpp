// The recognizer service on the real engine: one utterance per task, partial and final
// results, "no speech", cancel, abandoned tasks, vocabulary and concurrent tasks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "engines/pocketsphinx/services.h"
#include "tests/pocketsphinx/sphinx_test_support.h"

namespace brimlow::pocketsphinx {
namespace {

using testing::chunks;
using testing::concat;
using testing::ditheredSilence;
using testing::HandlerRecorder;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::readRaw;
using testing::readWav;
using testing::silence;

using Request = speech::AudioBufferRecognitionRequest;

class RecognizerServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_ENGINE_DATA();
    recognizer_ = makeRecognizerService()->recognizer("en-US");
    ASSERT_TRUE(recognizer_);
  }
  void TearDown() override {
    EXPECT_TRUE(waitForRecognitionTasksToFinish(std::chrono::seconds(60)));
  }

  static std::shared_ptr<Request> request(bool partials = true,
                                          std::vector<std::string> vocabulary = {}) {
    speech::RecognitionRequestOptions options;
    options.shouldReportPartialResults = partials;
    options.contextualStrings = std::move(vocabulary);
    return std::make_shared<Request>(options);
  }

  // Runs one request over `samples` to its end and returns the handler's calls.
  std::vector<HandlerRecorder::Call> recognize(const std::vector<int16_t>& samples,
                                               std::shared_ptr<Request> req = request()) {
    auto recorder = std::make_shared<HandlerRecorder>();
    auto task = recognizer_->recognitionTask(req, HandlerRecorder::handler(recorder));
    for (auto& buffer : chunks(samples)) req->appendAudioPCMBuffer(buffer);
    req->endAudio();
    EXPECT_TRUE(recorder->waitForEnd());
    return recorder->calls();
  }

  static std::string finalText(const std::vector<HandlerRecorder::Call>& calls) {
    if (calls.empty() || !calls.back().result) return "<no final>";
    return calls.back().result->bestTranscription.formattedString;
  }

  std::shared_ptr<speech::SpeechRecognizer> recognizer_;
};

TEST_F(RecognizerServiceTest, PartialsThenAFinalWithWordSegments) {
  auto calls = recognize(readRaw("goforward.raw"));
  ASSERT_GE(calls.size(), 2u);
  const auto& last = calls.back();
  ASSERT_TRUE(last.result);
  EXPECT_FALSE(last.error);
  EXPECT_TRUE(last.result->isFinal);
  const auto& transcription = last.result->bestTranscription;
  EXPECT_EQ(transcription.formattedString, "Go forward ten meters.");
  ASSERT_EQ(transcription.segments.size(), 4u);
  const char* words[] = {"go", "forward", "ten", "meters"};
  double previousEnd = 0;
  for (size_t i = 0; i < 4; ++i) {
    const auto& segment = transcription.segments[i];
    EXPECT_EQ(segment.substring, words[i]);
    EXPECT_GE(segment.timestamp, previousEnd - 1e-9);
    EXPECT_GT(segment.duration, 0.0);
    previousEnd = segment.timestamp + segment.duration;
  }
  EXPECT_NEAR(transcription.segments[0].timestamp, 0.46, 0.15);
  EXPECT_NEAR(previousEnd, 2.12, 0.2);

  for (size_t i = 0; i + 1 < calls.size(); ++i) {
    ASSERT_TRUE(calls[i].result);
    EXPECT_FALSE(calls[i].result->isFinal);
    EXPECT_FALSE(calls[i].result->bestTranscription.formattedString.empty());
    EXPECT_FALSE(calls[i].result->bestTranscription.segments.empty());
  }
}

TEST_F(RecognizerServiceTest, OnlyTheFinalWhenPartialsAreNotWanted) {
  auto calls = recognize(readRaw("goforward.raw"), request(false));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(finalText(calls), "Go forward ten meters.");
}

TEST_F(RecognizerServiceTest, SilenceIsNoSpeech) {
  for (auto samples : {silence(1.0), silence(0.12), std::vector<int16_t>{}}) {
    SCOPED_TRACE(samples.size());
    auto calls = recognize(samples);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].result);
    ASSERT_TRUE(calls[0].error);
    EXPECT_EQ(calls[0].error->code, speech::kNoSpeechErrorCode);
    EXPECT_THAT(calls[0].error->description, HasSubstr("No speech detected"));
  }
}

TEST_F(RecognizerServiceTest, TimesCountFromEachRequestsFirstAudio) {
  // The second task reuses the first one's decoder; its leading digital silence neither
  // garbles the words nor goes missing from their times.
  auto first = recognize(readRaw("goforward.raw"), request(false));
  auto second = recognize(concat({ditheredSilence(1.5), readRaw("goforward.raw")}), request(false));
  ASSERT_TRUE(first.back().result && second.back().result);
  EXPECT_EQ(finalText(second), "Go forward ten meters.");
  const auto& a = first.back().result->bestTranscription.segments;
  const auto& b = second.back().result->bestTranscription.segments;
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_NEAR(b[0].timestamp - a[0].timestamp, 1.5, 0.1);
}

TEST_F(RecognizerServiceTest, CancelStopsTheTask) {
  auto recorder = std::make_shared<HandlerRecorder>();
  auto req = request(true);
  auto task = recognizer_->recognitionTask(req, HandlerRecorder::handler(recorder));
  const auto goForward = readRaw("goforward.raw");
  for (int i = 0; i < 4; ++i)
    for (auto& buffer : chunks(goForward)) req->appendAudioPCMBuffer(buffer);
  task->cancel();
  const size_t callsAtCancel = recorder->calls().size();
  req->endAudio();
  task.reset();
  ASSERT_TRUE(waitForRecognitionTasksToFinish(std::chrono::seconds(60)));
  auto calls = recorder->calls();
  EXPECT_LE(calls.size(), callsAtCancel + 1);
  for (const auto& call : calls) EXPECT_FALSE(call.result && call.result->isFinal);
}

TEST_F(RecognizerServiceTest, ADroppedTaskHandleStillDeliversTheFinal) {
  auto recorder = std::make_shared<HandlerRecorder>();
  auto req = request(false);
  recognizer_->recognitionTask(req, HandlerRecorder::handler(recorder)).reset();
  for (auto& buffer : chunks(readRaw("goforward.raw"))) req->appendAudioPCMBuffer(buffer);
  req->endAudio();
  ASSERT_TRUE(recorder->waitForEnd());
  EXPECT_EQ(finalText(recorder->calls()), "Go forward ten meters.");
}

TEST_F(RecognizerServiceTest, AnAbandonedTaskEndsWithoutAResult) {
  auto recorder = std::make_shared<HandlerRecorder>();
  {
    auto req = request(false);
    auto task = recognizer_->recognitionTask(req, HandlerRecorder::handler(recorder));
    for (auto& buffer : chunks(readRaw("goforward.raw"))) req->appendAudioPCMBuffer(buffer);
    // Neither ended nor cancelled: both handles just go away, as with a discarded channel.
  }
  ASSERT_TRUE(waitForRecognitionTasksToFinish(std::chrono::seconds(60)));
  EXPECT_TRUE(recorder->calls().empty());
}

TEST_F(RecognizerServiceTest, ContextualStringsBiasEachRequest) {
  const auto clip = readWav(testing::kIllDisposedClip);
  ASSERT_FALSE(clip.empty());
  EXPECT_THAT(finalText(recognize(clip, request(false))), Not(HasSubstr("ill disposed")));
  EXPECT_THAT(finalText(recognize(clip, request(false, {"ill disposed", "unheard-of-word"}))),
              HasSubstr("ill disposed young man"));
  // The pooled decoder drops the bias for a request without contextual strings.
  EXPECT_THAT(finalText(recognize(clip, request(false))), Not(HasSubstr("ill disposed")));
}

TEST_F(RecognizerServiceTest, ConcurrentTasksGetTheirOwnDecoders) {
  const auto goForward = readRaw("goforward.raw");
  auto one = std::make_shared<HandlerRecorder>();
  auto two = std::make_shared<HandlerRecorder>();
  auto reqOne = request(true);
  auto reqTwo = request(true);
  auto taskOne = recognizer_->recognitionTask(reqOne, HandlerRecorder::handler(one));
  auto taskTwo = recognizer_->recognitionTask(reqTwo, HandlerRecorder::handler(two));
  std::thread feeder([&] {
    for (auto& buffer : chunks(goForward)) reqTwo->appendAudioPCMBuffer(buffer);
    reqTwo->endAudio();
  });
  for (auto& buffer : chunks(goForward)) reqOne->appendAudioPCMBuffer(buffer);
  reqOne->endAudio();
  feeder.join();
  ASSERT_TRUE(one->waitForEnd());
  ASSERT_TRUE(two->waitForEnd());
  EXPECT_EQ(finalText(one->calls()), "Go forward ten meters.");
  EXPECT_EQ(finalText(two->calls()), "Go forward ten meters.");
}

TEST_F(RecognizerServiceTest, AudioInAnotherFormatFailsTheTask) {
  auto req = request();
  auto recorder = std::make_shared<HandlerRecorder>();
  auto task = recognizer_->recognitionTask(req, HandlerRecorder::handler(recorder));
  auto buffer = audio::PcmBuffer::make({44100.0, 1, audio::SampleFormat::float32}, 441);
  buffer->setFrameLength(441);
  req->appendAudioPCMBuffer(buffer);
  ASSERT_TRUE(recorder->waitForEnd());
  ASSERT_TRUE(recorder->last().error);
  EXPECT_EQ(recorder->last().error->code, kSphinxUnsupportedFormatCode);
}

TEST(RecognizerServiceModels, AMissingModelFailsTheTaskAtItsFirstAudio) {
  testing::TempDir root;
  testing::ModelPathScope scope(root.path());
  auto recognizer = makeRecognizerService()->recognizer("de-DE");
  ASSERT_TRUE(recognizer);
  EXPECT_FALSE(recognizer->supportsOnDeviceRecognition());
  auto req = std::make_shared<Request>(speech::RecognitionRequestOptions{});
  auto recorder = std::make_shared<HandlerRecorder>();
  auto task = recognizer->recognitionTask(req, HandlerRecorder::handler(recorder));
  req->appendAudioPCMBuffer(chunks(silence(0.25))[0]);
  ASSERT_TRUE(recorder->waitForEnd());
  ASSERT_TRUE(recorder->last().error);
  EXPECT_EQ(recorder->last().error->code, kSphinxModelNotInstalledCode);
  EXPECT_EQ(recorder->last().error->description,
            "The PocketSphinx model for de-DE is not installed");
}

}  // namespace
}  // namespace brimlow::pocketsphinx
