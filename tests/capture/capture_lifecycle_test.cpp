// Start and stop of the capture object on a scripted service: the events of each path, what is
// asked of the service, the reports of a stream that the system ends.
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/capture/capture_fixture.h"

namespace brimlow::capture {
namespace {

using audio::AudioFormat;
using audio::SampleFormat;
using nlohmann::json;
using platform::capture::CaptureError;
using platform::capture::RunningApplication;
using platform::scripted::CaptureScript;
using platform::scripted::sineBuffers;
using Lifecycle = testing::CaptureFixture;

const CaptureError kSystemStop{"scripted", -3821, "The stream was stopped by the system."};

TEST_F(Lifecycle, StartAsksForTheFirstDisplayWithoutTheHostAndItselfWithTheFixedSettings) {
  CaptureScript script;
  script.displays = {{7, "default-output"}, {8, "other-output"}};
  script.applications = {{4242, "player"}, {::getpid(), "capture"}, {::getppid(), "host"}};
  makeStarted(script);

  auto filter = service_->lastFilter();
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->display.displayID, 7u);
  ASSERT_EQ(filter->excludedApplications.size(), 2u);
  EXPECT_EQ(filter->excludedApplications[0].applicationName, "capture");
  EXPECT_EQ(filter->excludedApplications[1].applicationName, "host");

  auto config = service_->lastConfiguration();
  ASSERT_TRUE(config);
  EXPECT_EQ(config->width, 2u);
  EXPECT_EQ(config->height, 2u);
  EXPECT_EQ(config->minimumFrameIntervalSeconds, 1.0);
  EXPECT_EQ(config->queueDepth, 1u);
  EXPECT_FALSE(config->showsCursor);
  EXPECT_TRUE(config->capturesAudio);
  EXPECT_TRUE(config->excludesCurrentProcessAudio);
  EXPECT_EQ(config->sampleRate, 16000u);
  EXPECT_EQ(config->channelCount, 1u);
  EXPECT_EQ(config->captureMicrophone, std::optional<bool>(false));

  auto events = recorded_.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["state"], "requesting");
  EXPECT_FALSE(events[0].contains("available"));
  EXPECT_EQ(events[1], (json{{"type", "capture.status"},
                             {"state", "started"},
                             {"message", "Macのシステム音声を取得しています。"},
                             {"available", true},
                             {"at", clock_.now()}}));
}

TEST_F(Lifecycle, TheMicrophoneSettingIsLeftAloneBeforeVersionFifteen) {
  make({}, {14, 6, 0});
  ASSERT_FALSE(capture_->start());
  EXPECT_EQ(service_->lastConfiguration()->captureMicrophone, std::nullopt);
}

TEST_F(Lifecycle, AudioThatArrivesWhileStartingComesOutAfterStarted) {
  CaptureScript script;
  script.buffers = sineBuffers(AudioFormat{48000, 2, SampleFormat::float32}, 960, 55, 440, 0.1);
  makeStarted(script);
  drain();
  auto types = recorded_.types();
  ASSERT_EQ(types.size(), 6u);
  EXPECT_EQ(types[1], "capture.status");
  for (size_t i = 2; i < 6; ++i) EXPECT_EQ(types[i], "capture.audio");
  auto chunks = recorded_.ofType("capture.audio");
  EXPECT_EQ(chunks.front()["sequence"], 0);
  EXPECT_EQ(chunks.back()["sequence"], 3);
  // A 0.1 tone has an rms of 0.0707: level 0.354 once the filter has filled.
  EXPECT_NEAR(chunks.back()["level"].get<double>(), 0.354, 0.01);
}

TEST_F(Lifecycle, StartFailuresAreReturnedAndWriteNothingAfterRequesting) {
  struct Case {
    CaptureScript script;
    std::string description;
  };
  std::vector<Case> cases(4);
  cases[0].script.displays.clear();
  cases[0].description = "取得対象のディスプレイが見つかりません。";
  cases[1].script.contentError = CaptureError{"scripted", -3801, "declined"};
  cases[1].description = "declined";
  cases[2].script.addOutputError = CaptureError{"scripted", -3802, "no output"};
  cases[2].description = "no output";
  cases[3].script.startError = CaptureError{"scripted", -3805, "no start"};
  cases[3].description = "no start";
  for (auto& c : cases) {
    testing::RecordedEvents recorded;
    auto service = std::make_shared<platform::scripted::ScriptedCaptureService>(c.script);
    auto capture =
        SystemAudioCapture::make(recorded.writer(), {[] {
                                                       return platform::OsVersion{26, 0, 0};
                                                     },
                                                     service});
    auto failure = capture->start();
    ASSERT_TRUE(failure) << c.description;
    EXPECT_EQ(describe(*failure), c.description);
    auto events = recorded.events();
    ASSERT_EQ(events.size(), 1u) << c.description;
    EXPECT_EQ(events[0]["state"], "requesting");
  }
}

TEST_F(Lifecycle, StopWritesStoppedOnceAndStopsTheStreamOnce) {
  makeStarted();
  capture_->stop();
  capture_->stop();
  auto events = recorded_.events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2], (json{{"type", "capture.status"},
                             {"state", "stopped"},
                             {"message", "システム音声の取得を停止しました。"},
                             {"available", false},
                             {"at", clock_.now()}}));
  EXPECT_EQ(service_->lastStream()->stopCalls(), 1);
}

TEST_F(Lifecycle, StopBeforeTheStreamExistsWritesNothing) {
  make();
  capture_->stop();
  EXPECT_TRUE(recorded_.events().empty());
}

TEST_F(Lifecycle, AFailedStopIsReportedAndStillEndsInStopped) {
  CaptureScript script;
  script.stopError = CaptureError{"scripted", -3808, "The stream is not running."};
  makeStarted(script);
  capture_->stop();
  auto events = recorded_.events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[2]["message"],
            "システム音声の停止処理に失敗しました: The stream is not running.");
  EXPECT_EQ(events[3]["state"], "stopped");
}

TEST_F(Lifecycle, AStreamThatTheSystemStopsIsReportedOnceAndTheCaptureStaysUp) {
  makeStarted();
  service_->lastStream()->systemStop(kSystemStop);
  drain();
  auto events = recorded_.events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(
      events[2],
      (json{{"type", "capture.error"},
            {"message", "システム音声の取得が停止しました: The stream was stopped by the system."},
            {"at", clock_.now()}}));
  EXPECT_FALSE(capture_->isStopping());
  capture_->stop();
  EXPECT_EQ(recorded_.events().back()["state"], "stopped");
}

TEST_F(Lifecycle, ASystemStopAfterOurOwnStopIsNotReported) {
  makeStarted();
  capture_->stop();
  service_->lastStream()->systemStop(kSystemStop);
  drain();
  EXPECT_TRUE(recorded_.ofType("capture.error").empty());
}

}  // namespace
}  // namespace brimlow::capture
