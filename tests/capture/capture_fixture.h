#pragma once
// A capture object on a scripted service, its events recorded, its clock held still.
#include <future>
#include <memory>

#include <gtest/gtest.h>
#include <asio/post.hpp>

#include "audio-capture/system_audio_capture.h"
#include "support/system/system.h"
#include "tests/capture/recorded_events.h"
#include "tests/scripted/scripted_capture.h"

namespace brimlow::capture::testing {

class CaptureFixture : public ::testing::Test {
 protected:
  void SetUp() override { clock_.install(); }
  void TearDown() override {
    if (capture_) drain();
    platform::setClockForTesting({});
  }

  // Makes the capture (not started).
  void make(platform::scripted::CaptureScript script = {},
            platform::OsVersion version = {26, 0, 0}) {
    service_ = std::make_shared<platform::scripted::ScriptedCaptureService>(std::move(script));
    capture_ = SystemAudioCapture::make(
        recorded_.writer(),
        platform::capture::CapturePlatform{[version] { return version; }, service_});
  }
  // Makes and starts it; chunks flow once "started" is out.
  void makeStarted(platform::scripted::CaptureScript script = {}) {
    make(std::move(script));
    auto failure = capture_->start();
    ASSERT_FALSE(failure) << describe(*failure);
  }
  // Waits until everything already handed to the audio queue has run.
  void drain() {
    std::promise<void> done;
    asio::post(capture_->audioQueue(), [&] { done.set_value(); });
    done.get_future().wait();
  }
  // The buffer as the stream would hand it over, handled on the audio queue.
  void deliver(platform::capture::SampleBuffer buffer,
               platform::capture::OutputType type = platform::capture::OutputType::audio) {
    service_->lastStream()->deliver(std::move(buffer), type);
    drain();
  }

  platform::ManualClock clock_{1'700'000'000'000.0};
  RecordedEvents recorded_;
  std::shared_ptr<platform::scripted::ScriptedCaptureService> service_;
  std::shared_ptr<SystemAudioCapture> capture_;
};

}  // namespace brimlow::capture::testing
