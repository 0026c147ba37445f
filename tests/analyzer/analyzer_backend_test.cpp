// The analyzer backend in process: many channels at once, suppression, stopping and teardown,
// so the sanitizer builds see every thread the backend starts.
#include "stt-helper/analyzer/analyzer_backend.h"

#include <gtest/gtest.h>
#include <asio/io_context.hpp>

#include "tests/scripted/scripted_analysis.h"
#include "platform/speech/unavailable.h"
#include "protocol/pcm_base64.h"
#include "tests/analyzer/test_support.h"

namespace brimlow::stt {
namespace {

using speech::AnalyzerRecord;
using speech::ScriptedResult;
using Records = std::vector<AnalyzerRecord>;

class Backend : public ::testing::Test {
 protected:
  void make(speech::AnalysisScript script) {
    service_ = std::make_shared<speech::ScriptedAnalysisService>(std::move(script));
    platform::HelperPlatform helperPlatform{
        [] {
          return platform::OsVersion{26, 0, 0};
        },
        service_, std::make_shared<speech::UnavailableRecognizerService>()};
    BackendContext context{capture_.writer(), helperPlatform, mainQueue_};
    backend_ = makeSpeechAnalyzerBackend(context);
  }
  void audio(const std::string& session, AudioSource source, double capturedAt) {
    backend_->appendAudio(session, source, 0, capturedAt,
                          protocol::pcm16Base64(std::vector<int16_t>(1600, 500)));
  }

  testing::EventCapture capture_;
  asio::io_context mainQueue_;
  std::shared_ptr<speech::ScriptedAnalysisService> service_;
  std::unique_ptr<SpeechBackend> backend_;
};

TEST_F(Backend, SessionsRunSideBySideAndTeardownCancelsWhatStillRuns) {
  speech::AnalysisScript script;
  script.results = {ScriptedResult{1, "partial", 0.0, 0.1, false},
                    ScriptedResult{std::nullopt, "final", 0.0, 0.2, true}};
  make(script);
  EXPECT_EQ(backend_->implementationName(), "speech-analyzer");
  backend_->emitStatus();
  // Without echo cancellation every chunk reaches its channel as it came (with it, "self"
  // chunks may wait for their reference and go on joined).
  backend_->startSession("a", "ja-JP", {"x"}, false);
  backend_->startSession("b", "ja-JP", {}, false);
  for (int i = 0; i < 10; ++i) {
    for (const char* session : {"a", "b"}) {
      audio(session, AudioSource::remote, 100.0 * i);
      audio(session, AudioSource::selfAudio, 100.0 * i);
    }
  }
  backend_->setSuppressed("b", AudioSource::selfAudio, true);
  audio("b", AudioSource::selfAudio, 2000);  // dropped
  backend_->setSuppressed("b", AudioSource::selfAudio, false);
  audio("b", AudioSource::selfAudio, 3000);
  backend_->stopSession("a");

  // Session a's two channels deliver their finals after "session.stopped".
  auto finals = capture_.waitForType("transcript.final", 2);
  ASSERT_EQ(finals.size(), 2u);
  for (const auto& final : finals) EXPECT_EQ(final["sessionId"], "a");
  backend_.reset();  // b is still running: cancelled and joined here

  auto records = service_->analyzers();
  ASSERT_EQ(records.size(), 5u);  // a, b and b's resumed self channel
  size_t finalized = 0, cancelled = 0, appended = 0;
  for (const auto& record : records) {
    finalized += record.finalized;
    cancelled += record.cancelled;
    appended += record.appended.size();
    EXPECT_TRUE(record.resultsEnded);
  }
  EXPECT_EQ(finalized, 2u);
  EXPECT_EQ(cancelled, 3u);
  // Chunks posted before a cancel reach the channel first (one strand per key); the one sent
  // while suppressed reaches none.
  EXPECT_EQ(appended, 41u);

  auto events = capture_.written();
  EXPECT_EQ(testing::ofType(events, "session.ready").size(), 5u);
  EXPECT_EQ(testing::ofType(events, "session.stopped").size(), 1u);
  EXPECT_EQ(testing::ofType(events, "source.suppressed").size(), 2u);
  EXPECT_EQ(testing::ofType(events, "helper.status").size(), 2u);
  EXPECT_TRUE(testing::ofType(events, "helper.error").empty());
}

TEST_F(Backend, StopAllCancelsEveryChannelAndWritesNothing) {
  make({});
  backend_->startSession("a", "ja-JP", {});
  backend_->startSession("b", "ja-JP", {});
  audio("a", AudioSource::remote, 0);
  ASSERT_EQ(capture_.waitForType("session.ready", 4).size(), 4u);
  auto before = capture_.written().size();
  backend_->stopAll();
  EXPECT_TRUE(service_->waitUntil([](const Records& records) {
    for (const auto& record : records)
      if (!record.cancelled) return false;
    return true;
  }));
  // Nothing is known afterwards: audio and stops are ignored silently.
  audio("a", AudioSource::remote, 100);
  backend_->stopSession("a");
  EXPECT_EQ(capture_.written().size(), before);
}

TEST_F(Backend, SuppressingAnUnknownSessionIsRecordedButCreatesNothing) {
  make({});
  backend_->setSuppressed("later", AudioSource::remote, true);
  backend_->setSuppressed("later", AudioSource::remote, false);
  backend_->setSuppressed("later", AudioSource::selfAudio, false);  // never suppressed
  auto events = capture_.written();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0]["suppressed"], true);
  EXPECT_EQ(events[1]["suppressed"], false);
  EXPECT_EQ(events[2]["source"], "self");
  backend_.reset();
  EXPECT_TRUE(service_->analyzers().empty());
}

}  // namespace
}  // namespace brimlow::stt
