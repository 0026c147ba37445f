// Mixing separately recorded playback streams back into one signal that keeps the clock's time.
#include <algorithm>

#include <gtest/gtest.h>

#include "sound-servers/pulse/stream_mixer.h"

namespace brimlow::platform::pulse {
namespace {

class Mixer : public ::testing::Test {
 protected:
  // Mono, stalls after 100 frames, holds at most 1000 frames a stream.
  StreamMixer mixer_{1, 100, 1000, [this](const float* samples, size_t frames) {
                       out_.insert(out_.end(), samples, samples + frames);
                     }};
  std::vector<float> out_;
  void feed(uint32_t id, std::vector<float> samples) {
    mixer_.sourceData(id, samples.data(), samples.size());
  }
};

TEST_F(Mixer, WithNothingPlayingTheOutputsTimePassesInSilence) {
  mixer_.clockFrames(30);
  mixer_.clockFrames(20);
  EXPECT_EQ(out_, std::vector<float>(50, 0.0f));
}

TEST_F(Mixer, FramesLeaveWhenEveryStreamThatDeliversHasThemAndAreSummed) {
  mixer_.addSource(1);
  mixer_.addSource(2);
  feed(1, {0.1f});  // 2 has delivered nothing yet: 1 is not held back
  EXPECT_EQ(out_, (std::vector<float>{0.1f}));
  feed(2, {0.5f});
  feed(1, {0.2f});
  ASSERT_EQ(out_.size(), 2u);
  EXPECT_FLOAT_EQ(out_[1], 0.7f);
  feed(1, {0.3f});  // waits for 2's
  EXPECT_EQ(out_.size(), 2u);
  feed(2, {0.5f});
  ASSERT_EQ(out_.size(), 3u);
  EXPECT_FLOAT_EQ(out_[2], 0.8f);
}

TEST_F(Mixer, AStreamThatStopsDeliveringHoldsTheOthersBackOnlyUntilItStalls) {
  mixer_.addSource(1);
  mixer_.addSource(2);
  feed(2, {0.5f});
  // 1 delivers 20 frames with every 20-frame clock tick; 2 has gone quiet.
  for (int tick = 0; tick < 4; ++tick) {
    feed(1, std::vector<float>(20, 0.25f));
    mixer_.clockFrames(20);
  }
  EXPECT_EQ(out_.size(), 1u);  // 80 frames late is not stalled
  feed(1, std::vector<float>(20, 0.25f));
  mixer_.clockFrames(20);
  ASSERT_EQ(out_.size(), 101u);  // stalled: 1 goes on alone, nothing of it lost
  EXPECT_EQ(out_.back(), 0.25f);
  feed(2, {0.5f});  // back, and mixed in again
  feed(1, {0.25f, 0.25f});
  ASSERT_EQ(out_.size(), 103u);
  EXPECT_EQ(out_.back(), 0.75f);
}

TEST_F(Mixer, AStreamThatDeliversInBurstsGetsNothingInsertedIntoIt) {
  mixer_.addSource(1);
  std::vector<float> expected(80, 0.0f);  // the time before its first burst
  float value = 0.0f;
  // Bursts of 80 frames every fourth 20-frame clock tick: late against the clock, never stalled.
  for (int tick = 0; tick < 40; ++tick) {
    mixer_.clockFrames(20);
    if (tick % 4 == 3) {
      std::vector<float> burst(80);
      for (auto& sample : burst) sample = value += 0.001f;
      expected.insert(expected.end(), burst.begin(), burst.end());
      feed(1, burst);
    }
  }
  EXPECT_EQ(out_, expected);
}

TEST_F(Mixer, WhenEveryStreamHasStalledTheClockGivesSilenceAgain) {
  mixer_.addSource(1);
  feed(1, {0.5f});
  mixer_.clockFrames(100);
  mixer_.clockFrames(30);
  // The one frame took one frame of the clock's time.
  ASSERT_EQ(out_.size(), 130u);
  EXPECT_EQ(out_[0], 0.5f);
  EXPECT_EQ(std::count(out_.begin(), out_.end(), 0.0f), 129);
}

TEST_F(Mixer, TheOutputKeepsTheClocksTimeThroughStalls) {
  mixer_.addSource(1);
  // Three rounds of 60 frames delivered with the clock, then 200 frames of quiet; the wait for
  // a stall is made up in silence, and frames that came ahead of the clock are not padded.
  for (int round = 0; round < 3; ++round) {
    for (int tick = 0; tick < 3; ++tick) {
      feed(1, std::vector<float>(20, 0.5f));
      mixer_.clockFrames(20);
    }
    for (int tick = 0; tick < 10; ++tick) mixer_.clockFrames(20);
  }
  EXPECT_EQ(out_.size(), 3u * 260u);
  EXPECT_EQ(std::count(out_.begin(), out_.end(), 0.5f), 180);
  feed(1, std::vector<float>(50, 0.5f));  // a burst 50 frames ahead of the clock
  for (int tick = 0; tick < 8; ++tick) mixer_.clockFrames(20);
  EXPECT_EQ(out_.size(), 3u * 260u + 160u);
}

TEST_F(Mixer, AQuietSpellBeforeANewStreamDeliversIsSilenceNotLost) {
  mixer_.addSource(1);
  for (int tick = 0; tick < 3; ++tick) {
    feed(1, std::vector<float>(20, 0.5f));
    mixer_.clockFrames(20);
  }
  // 1's frames end at 60; 2 arrives at 100 and has not delivered when 1 stalls at 140.
  for (int tick = 0; tick < 2; ++tick) mixer_.clockFrames(20);
  mixer_.addSource(2);
  mixer_.clockFrames(20);
  EXPECT_EQ(out_.size(), 60u);
  mixer_.clockFrames(20);
  ASSERT_EQ(out_.size(), 140u);  // the quiet up to the clock: 2 holds nothing before it delivers
  EXPECT_EQ(std::count(out_.begin(), out_.end(), 0.0f), 80);
  feed(2, std::vector<float>(20, 0.25f));
  ASSERT_EQ(out_.size(), 160u);
  EXPECT_EQ(out_.back(), 0.25f);
}

TEST_F(Mixer, ANewStreamStartsAtTheClocksTimeNotWhereALateStreamHoldsTheOutput) {
  mixer_.addSource(1);
  feed(1, std::vector<float>(20, 0.5f));
  mixer_.clockFrames(80);  // 1 is 60 frames late, not stalled: the output waits at 20
  mixer_.addSource(2);
  feed(2, std::vector<float>(20, 0.25f));  // what 2 played from 60 to 80
  EXPECT_EQ(out_.size(), 20u);
  feed(1, std::vector<float>(60, 0.5f));
  std::vector<float> expected(60, 0.5f);
  expected.insert(expected.end(), 20, 0.75f);
  EXPECT_EQ(out_, expected);
}

TEST_F(Mixer, AJoiningStreamThatStartedBehindTheOthersStartsLaterInsteadOfHoldingThemBack) {
  mixer_.addSource(1);
  feed(1, std::vector<float>(20, 0.5f));
  mixer_.clockFrames(20);
  mixer_.addSource(2);
  feed(2, std::vector<float>(10, 0.25f));  // ends with 1's frames, so far
  feed(1, std::vector<float>(20, 0.5f));   // 2's first frames were 10 behind
  feed(2, std::vector<float>(20, 0.25f));
  feed(1, std::vector<float>(20, 0.5f));
  std::vector<float> expected(30, 0.5f);
  expected.insert(expected.end(), 30, 0.75f);
  EXPECT_EQ(out_, expected);
}

TEST_F(Mixer, FramesAheadOfTheClockWaitInTheirStreamUpToItsLimit) {
  mixer_.addSource(1);
  std::vector<float> burst(600);
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = float(i + 1) / 1000.0f;
  feed(1, burst);                // 600 frames at once, with the clock at 0
  EXPECT_EQ(out_.size(), 100u);  // a stall ahead at most
  for (int tick = 0; tick < 30; ++tick) mixer_.clockFrames(20);
  EXPECT_EQ(out_, burst);  // the rest left with the clock, nothing lost or inserted
  // A stream more than its limit ahead loses its oldest frames, and only those.
  out_.clear();
  feed(1, std::vector<float>(1000, 0.25f));  // 100 leave at once, 900 wait
  feed(1, std::vector<float>(200, 0.5f));    // 100 of the waiting ones make way
  for (int tick = 0; tick < 60; ++tick) mixer_.clockFrames(20);
  ASSERT_EQ(out_.size(), 1200u);  // up to the clock's count
  EXPECT_EQ(std::count(out_.begin(), out_.begin() + 900, 0.25f), 900);
  EXPECT_EQ(std::count(out_.begin() + 900, out_.begin() + 1100, 0.5f), 200);
}

TEST_F(Mixer, AStreamThatDeliversTooSlowlyHoldsTheOutputAtMostAStallBehindTheClock) {
  mixer_.addSource(1);
  // Half a tick's frames every tick, as from an output whose clock runs at half speed.
  for (int tick = 0; tick < 50; ++tick) {
    feed(1, std::vector<float>(10, 0.5f));
    mixer_.clockFrames(20);
  }
  EXPECT_GE(out_.size(), 1000u - 100u);
  EXPECT_EQ(std::count(out_.begin(), out_.end(), 0.5f), 500);  // gaps, but nothing lost
}

TEST_F(Mixer, RemovingAStreamReleasesWhatTheOthersHeld) {
  mixer_.addSource(1);
  mixer_.addSource(2);
  feed(2, {0.25f});
  feed(1, {0.5f, 0.5f});  // waits for 2's next frames
  EXPECT_EQ(out_, (std::vector<float>{0.25f}));
  mixer_.removeSource(2);
  EXPECT_EQ(out_, (std::vector<float>{0.25f, 0.5f, 0.5f}));
  feed(2, {1.0f});  // no longer mixed
  EXPECT_EQ(out_.size(), 3u);
}

TEST_F(Mixer, ARemovedStreamsLastFramesAreNotLost) {
  mixer_.addSource(1);
  mixer_.addSource(2);
  feed(1, {0.5f});
  feed(2, {0.25f});
  feed(1, {0.5f});
  feed(1, {0.5f, 0.5f, 0.5f});  // waits for 2's
  EXPECT_EQ(out_.size(), 2u);
  mixer_.removeSource(1);  // 2 is live: 1's rest goes out with 2's next frames
  EXPECT_EQ(out_.size(), 2u);
  feed(2, {0.25f, 0.25f, 0.25f});
  EXPECT_EQ(out_, (std::vector<float>{0.5f, 0.75f, 0.75f, 0.75f, 0.75f}));
}

TEST_F(Mixer, StereoStaysInterleaved) {
  std::vector<float> out;
  StreamMixer stereo(2, 100, 1000, [&](const float* s, size_t frames) {
    out.insert(out.end(), s, s + frames * 2);
  });
  stereo.addSource(1);
  std::vector<float> frames{0.1f, -0.1f, 0.2f, -0.2f};
  stereo.sourceData(1, frames.data(), 2);
  EXPECT_EQ(out, frames);
}

}  // namespace
}  // namespace brimlow::platform::pulse
