// SessionEcho: "self" audio waits for its reference and no longer, the echo of the "remote"
// audio goes whatever the offset between the streams' clocks, and a microphone that hears no
// loudspeaker is left alone.
#include "stt-helper/echo/session_echo.h"

#include <cmath>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

namespace brimlow::stt {
namespace {

constexpr double kStart = 1.7e12;  // capture times as hosts stamp them
constexpr uint32_t kChunk = 4000;  // 250 ms

audio::PcmBufferPtr bufferOf(const std::vector<int16_t>& samples, size_t from, size_t count) {
  auto buffer = audio::PcmBuffer::make(audio::pcm16Mono16k(), static_cast<uint32_t>(count));
  std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(from), count,
              buffer->int16ChannelData(0));
  buffer->setFrameLength(static_cast<uint32_t>(count));
  return buffer;
}

// Speech-like sound: bursts of coloured noise ("syllables") of random length with pauses between
// them, different for every seed.
std::vector<int16_t> babble(unsigned seed, double seconds, double amplitude) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise;
  std::uniform_int_distribution<int> syllableMs(120, 320), pauseMs(60, 400);
  std::vector<int16_t> out(static_cast<size_t>(seconds * 16000));
  double smooth = 0;
  for (size_t at = 0; at < out.size();) {
    const size_t on = static_cast<size_t>(syllableMs(random)) * 16;
    for (size_t i = 0; i < on && at < out.size(); ++i, ++at) {
      smooth = 0.7 * smooth + noise(random);  // low-pass: more like a voice than white noise
      const double envelope = std::sin(std::numbers::pi * static_cast<double>(i) / on);
      out[at] = static_cast<int16_t>(std::clamp(amplitude * envelope * smooth, -32000.0, 32000.0));
    }
    at += static_cast<size_t>(pauseMs(random)) * 16;
  }
  return out;
}

// The loudspeakers' sound as the microphone hears it: later, quieter, with two reflections, over
// the microphone's own faint noise (about -60 dBFS).
std::vector<int16_t> room(const std::vector<int16_t>& played, int delayMs) {
  std::vector<int16_t> heard(played.size());
  const size_t delay = static_cast<size_t>(delayMs) * 16;
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0.0, 33.0);
  for (size_t i = 0; i < heard.size(); ++i) {
    double value = noise(random);
    if (i >= delay) value += 0.5 * played[i - delay];
    if (i >= delay + 400) value += 0.2 * played[i - delay - 400];
    if (i >= delay + 1100) value -= 0.1 * played[i - delay - 1100];
    heard[i] = static_cast<int16_t>(value);
  }
  return heard;
}

double power(const std::vector<int16_t>& samples, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  return sum / static_cast<double>(to - from);
}

// Both streams relayed chunk by chunk as a host relays them live, the "remote" chunk of each
// moment first; the "self" capture times are `selfOffsetMs` later than the "remote" ones.
std::vector<int16_t> relay(SessionEcho& echo, const std::vector<int16_t>& remote,
                           const std::vector<int16_t>& self, double selfOffsetMs) {
  std::vector<int16_t> out;
  auto take = [&](const std::vector<TimedBuffer>& pieces) {
    for (const auto& piece : pieces) {
      EXPECT_DOUBLE_EQ(piece.capturedAt, kStart + selfOffsetMs + out.size() / 16.0);
      const int16_t* s = piece.buffer->int16ChannelData(0);
      out.insert(out.end(), s, s + piece.buffer->frameLength());
    }
  };
  for (size_t at = 0; at + kChunk <= self.size(); at += kChunk) {
    const double stamp = kStart + at / 16.0;
    const double now = stamp + 260;
    echo.addRemote(*bufferOf(remote, at, kChunk), stamp, now);
    take(echo.addSelf(bufferOf(self, at, kChunk), stamp + selfOffsetMs, now));
    take(echo.release(now));
  }
  take(echo.releaseAll());
  EXPECT_EQ(out.size(), self.size() / kChunk * kChunk);
  return out;
}

TEST(SessionEcho, SelfAudioWaitsForItsReferenceAndNoLongerThanTheHold) {
  SessionEcho echo;
  const auto remote = babble(1, 1.0, 3000);
  const auto self = room(remote, 50);
  // Before any "remote" audio the chunk goes on as it came.
  auto first = bufferOf(self, 0, kChunk);
  auto out = echo.addSelf(first, kStart, kStart + 250);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].buffer, first);

  echo.addRemote(*bufferOf(remote, 0, kChunk), kStart, kStart + 250);
  echo.addRemote(*bufferOf(remote, kChunk, kChunk), kStart + 250, kStart + 500);
  out = echo.addSelf(bufferOf(self, kChunk, kChunk), kStart + 250, kStart + 500);
  ASSERT_EQ(out.size(), 1u);  // its reference is here
  EXPECT_EQ(out[0].buffer->frameLength(), kChunk);
  EXPECT_DOUBLE_EQ(out[0].capturedAt, kStart + 250);

  // The reference of the next chunk comes 150 ms after it: it waits, then goes.
  EXPECT_TRUE(echo.addSelf(bufferOf(self, 2 * kChunk, kChunk), kStart + 500, kStart + 750).empty());
  EXPECT_EQ(echo.holdDeadline(), kStart + 750 + SessionEchoSettings{}.holdMs);
  EXPECT_TRUE(echo.release(kStart + 800).empty());
  EXPECT_TRUE(echo.addRemote(*bufferOf(remote, 2 * kChunk, kChunk), kStart + 500, kStart + 900));
  out = echo.release(kStart + 900);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_DOUBLE_EQ(out[0].capturedAt, kStart + 500);
  EXPECT_FALSE(echo.holdDeadline());

  // No reference comes for the last chunk: it goes once it has waited the hold, not before.
  EXPECT_TRUE(
      echo.addSelf(bufferOf(self, 3 * kChunk, kChunk), kStart + 750, kStart + 1000).empty());
  EXPECT_TRUE(echo.release(kStart + 1000 + SessionEchoSettings{}.holdMs - 1).empty());
  out = echo.release(kStart + 1000 + SessionEchoSettings{}.holdMs);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_DOUBLE_EQ(out[0].capturedAt, kStart + 750);

  // Less than a frame is held until the session ends, then goes as it is.
  EXPECT_TRUE(echo.addSelf(bufferOf(self, 0, 100), kStart + 1000, kStart + 1260).empty());
  out = echo.releaseAll();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].buffer->frameLength(), 100u);
}

TEST(SessionEcho, TheEchoGoesWhateverTheOffsetBetweenTheStreamsAndTheLocalVoiceStays) {
  for (double offsetMs : {0.0, 200.0, -200.0, 300.0}) {
    SCOPED_TRACE(offsetMs);
    SessionEcho echo;
    // The other side talks for 9.5 s; the local user speaks in the last 2 s, after it.
    auto remote = babble(2, 12.0, 6000);
    std::fill(remote.end() - 40000, remote.end(), 0);
    auto self = room(remote, 120);
    const auto voice = babble(3, 2.0, 5000);
    std::copy(voice.begin(), voice.end(), self.end() - 32000);
    const auto out = relay(echo, remote, self, offsetMs);
    ASSERT_TRUE(echo.delayMs());
    EXPECT_NEAR(*echo.delayMs(), 120 + offsetMs, 10);
    // The echo of the last seconds of the other side is more than 20 dB down...
    const size_t from = 6 * 16000, to = self.size() - 40000;
    EXPECT_GT(10 * std::log10(power(self, from, to) / power(out, from, to)), 20.0);
    // ...and the local voice keeps its level within 1 dB.
    const size_t voiceFrom = self.size() - 32000;
    EXPECT_NEAR(
        10 * std::log10(power(out, voiceFrom, self.size()) / power(self, voiceFrom, self.size())),
        0.0, 1.0);
  }
}

TEST(SessionEcho, AMicrophoneThatHearsNoLoudspeakerIsLeftAlone) {
  SessionEcho echo;
  const auto remote = babble(4, 8.0, 6000);
  const auto self = babble(5, 8.0, 5000);  // headphones: the microphone hears only its user
  const auto out = relay(echo, remote, self, 0);
  EXPECT_EQ(echo.echoHeard(), false);
  EXPECT_FALSE(echo.delayMs());
  // Once that is clear (after 3 s of the other side), the voice goes on untouched.
  const size_t from = 5 * 16000;
  EXPECT_TRUE(std::equal(out.begin() + from, out.end(), self.begin() + from));
}

}  // namespace
}  // namespace brimlow::stt
