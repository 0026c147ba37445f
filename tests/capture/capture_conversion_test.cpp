// Captured buffers to 16 kHz PCM16 chunks: chunking, payload, level, conversion of each input
// format, continuity across buffers, failures.
#include <cmath>
#include <numbers>
#include <numeric>

#include <gtest/gtest.h>

#include "protocol/pcm_payload.h"
#include "tests/capture/capture_fixture.h"

namespace brimlow::capture {
namespace {

using audio::AudioFormat;
using audio::SampleFormat;
using nlohmann::json;
using platform::capture::SampleBuffer;
using platform::scripted::sineBuffers;

// The samples of a chunk, decoded as the speech helper decodes an "audio" command.
std::vector<int16_t> decodeChunk(const json& event) {
  auto buffer = stt::makePCMBuffer(event["pcmBase64"].get<std::string>());
  EXPECT_TRUE(buffer.has_value());
  if (!buffer) return {};
  const int16_t* data = (*buffer)->int16ChannelData(0);
  return std::vector<int16_t>(data, data + (*buffer)->frameLength());
}

std::vector<int16_t> ramp(size_t count, int16_t first) {
  std::vector<int16_t> samples(count);
  std::iota(samples.begin(), samples.end(), first);
  return samples;
}

class Chunking : public testing::CaptureFixture {
 protected:
  void SetUp() override {
    CaptureFixture::SetUp();
    makeStarted();
  }
};

TEST_F(Chunking, ThreeThousandThenThreeThousandGiveOneChunkAndKeepTwoThousand) {
  auto first = ramp(3000, -1500);
  auto second = ramp(3000, 20000);
  capture_->append(first);
  EXPECT_TRUE(recorded_.ofType("capture.audio").empty());
  capture_->append(second);
  auto chunks = recorded_.ofType("capture.audio");
  ASSERT_EQ(chunks.size(), 1u);
  std::vector<int16_t> expected = first;
  expected.insert(expected.end(), second.begin(), second.begin() + 1000);
  EXPECT_EQ(decodeChunk(chunks[0]), expected);
  EXPECT_EQ(chunks[0]["sequence"], 0);
  EXPECT_EQ(capture_->pendingSampleCount(), 2000u);
}

TEST_F(Chunking, NineThousandGiveTwoConsecutiveChunksAndKeepOneThousand) {
  capture_->append(ramp(9000, -4500));
  auto chunks = recorded_.ofType("capture.audio");
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0]["sequence"], 0);
  EXPECT_EQ(chunks[1]["sequence"], 1);
  EXPECT_EQ(decodeChunk(chunks[1]), ramp(4000, -500));
  EXPECT_EQ(capture_->pendingSampleCount(), 1000u);
  EXPECT_EQ(capture_->nextSequence(), 2);
}

TEST_F(Chunking, AChunkLineHasTheHelpersAudioFieldsInSortedKeyOrder) {
  clock_.set(1'700'000'000'500.5);
  capture_->append(std::vector<int16_t>(4000, 0));
  auto lines = recorded_.lines();
  ASSERT_EQ(lines.size(), 3u);  // requesting, started, the chunk
  const std::string& line = lines[2];
  EXPECT_TRUE(line.starts_with("{\"capturedAt\":1700000000250.5,\"level\":0.0,\"pcmBase64\":\""))
      << line.substr(0, 80);
  EXPECT_TRUE(
      line.ends_with("\",\"sequence\":0,\"source\":\"remote\",\"type\":\"capture.audio\"}"));
  json chunk = json::parse(line);
  EXPECT_TRUE(chunk["sequence"].is_number_integer());
  EXPECT_TRUE(chunk["capturedAt"].is_number_float());
}

TEST_F(Chunking, EveryPayloadIs10668CharactersEndingInOnePadding) {
  capture_->append(ramp(12000, -6000));
  for (const auto& chunk : recorded_.ofType("capture.audio")) {
    std::string payload = chunk["pcmBase64"];
    EXPECT_EQ(payload.size(), 10668u);
    EXPECT_TRUE(payload.ends_with("=") && !payload.ends_with("=="));
    EXPECT_EQ(decodeChunk(chunk).size(), 4000u);
  }
}

TEST_F(Chunking, LevelIsFiveTimesTheRmsAtMostOne) {
  capture_->append(std::vector<int16_t>(4000, 0));
  capture_->append(std::vector<int16_t>(4000, 32767));
  capture_->append(std::vector<int16_t>(4000, 3277));
  capture_->append(std::vector<int16_t>(4000, -32768));
  auto chunks = recorded_.ofType("capture.audio");
  ASSERT_EQ(chunks.size(), 4u);
  EXPECT_EQ(chunks[0]["level"], 0.0);
  EXPECT_EQ(chunks[1]["level"], 1.0);
  EXPECT_NEAR(chunks[2]["level"].get<double>(), 0.5, 0.001);
  EXPECT_EQ(chunks[3]["level"], 1.0);
}

TEST_F(Chunking, AFailedConversionDoesNotSkipASequenceNumber) {
  capture_->append(std::vector<int16_t>(4000, 1));
  deliver(SampleBuffer::failingCopy(AudioFormat{48000, 2, SampleFormat::float32}, 960, -12737));
  capture_->append(std::vector<int16_t>(4000, 2));
  auto events = recorded_.events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[2]["sequence"], 0);
  EXPECT_EQ(events[3]["message"],
            "システム音声を16 kHzへ変換できませんでした: "
            "CMSampleBufferCopyPCMDataIntoAudioBufferList=-12737");
  EXPECT_EQ(events[4]["sequence"], 1);
}

TEST_F(Chunking, BuffersThatCannotBeUsedAreSkippedSilently) {
  auto pcm = sineBuffers(AudioFormat{16000, 1, SampleFormat::int16}, 4000, 1, 440, 0.1);
  deliver(SampleBuffer::invalid(4000));
  deliver(pcm[0], platform::capture::OutputType::screen);
  deliver(SampleBuffer(audio::PcmBuffer::make(AudioFormat{16000, 1, SampleFormat::int16}, 0)));
  EXPECT_EQ(recorded_.types(), (std::vector<std::string>{"capture.status", "capture.status"}));
  capture_->stop();
  deliver(pcm[0]);
  EXPECT_TRUE(recorded_.ofType("capture.audio").empty());
}

TEST_F(Chunking, FormatsThatCannotBeReadOrBufferedGiveTheirMessages) {
  deliver(SampleBuffer::withoutFormat(960));
  deliver(SampleBuffer::failingCopy(AudioFormat{0.0, 2, SampleFormat::float32}, 960, 0));
  auto errors = recorded_.ofType("capture.error");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0]["message"], "システム音声のフォーマットを読み取れませんでした。");
  EXPECT_EQ(errors[1]["message"], "システム音声のバッファを作成できませんでした。");
  EXPECT_EQ(capture_->pendingSampleCount(), 0u);
}

// The converted samples of a tone cut into buffers, all gathered.
class Conversion : public testing::CaptureFixture {
 protected:
  void SetUp() override {
    CaptureFixture::SetUp();
    make();
  }
  std::vector<int16_t> convertAll(const std::vector<SampleBuffer>& buffers,
                                  std::vector<size_t>* totals = nullptr) {
    std::vector<int16_t> out;
    for (const auto& buffer : buffers) {
      auto samples = capture_->convertToPCM16(buffer);
      EXPECT_TRUE(samples.has_value());
      if (samples) out.insert(out.end(), samples->begin(), samples->end());
      if (totals) totals->push_back(out.size());
    }
    return out;
  }
};

// A resampler cleared before each 20 ms buffer gives nothing at all here (its filter holds back
// more than one buffer); kept across buffers, the output is one continuous signal.
TEST_F(Conversion, TwentyMillisecondBuffersConvertAsOneContinuousSignal) {
  const AudioFormat format{48000, 2, SampleFormat::float32};
  auto pieces = convertAll(sineBuffers(format, 960, 100, 440, 0.5));
  EXPECT_GT(pieces.size(), 32000u - 800u);  // all but what the filter holds back

  // Sample for sample what the same converter gives for the whole signal in one call.
  auto whole = audio::Converter::make(format, AudioFormat{16000, 1, SampleFormat::int16});
  auto all = sineBuffers(format, 96000, 1, 440, 0.5);
  auto input = audio::PcmBuffer::make(format, 96000);
  ASSERT_EQ(all[0].copyPCMData(*input), 0);
  auto output = audio::PcmBuffer::make(AudioFormat{16000, 1, SampleFormat::int16}, 33000);
  ASSERT_NE(whole->convert(*input, *output), audio::Converter::Status::error);
  size_t common = std::min<size_t>(pieces.size(), output->frameLength());
  ASSERT_GT(common, 30000u);
  int worst = 0;
  for (size_t i = 0; i < common; ++i)
    worst = std::max(worst, std::abs(pieces[i] - output->int16ChannelData(0)[i]));
  EXPECT_LE(worst, 2);
}

// A change of format hands over what the old converter held back, so the count shows whether
// anything was lost: two seconds of 20 ms buffers, then 20 ms in the wire format.
TEST_F(Conversion, TwentyMillisecondBuffersKeepTheirDuration) {
  for (const auto& [format, frames] :
       {std::pair{AudioFormat{48000, 2, SampleFormat::float32}, 960u},
        std::pair{AudioFormat{44100, 2, SampleFormat::float32}, 882u},
        std::pair{AudioFormat{48000, 1, SampleFormat::int16}, 960u}}) {
    make();
    auto buffers = sineBuffers(format, frames, 100, 440, 0.5);
    auto tail = sineBuffers(AudioFormat{16000, 1, SampleFormat::int16}, 320, 1, 440, 0.5);
    buffers.push_back(tail[0]);
    auto out = convertAll(buffers);
    EXPECT_NEAR(static_cast<double>(out.size()), 32000.0 + 320.0, 2.0) << format.toString();
  }
}

TEST_F(Conversion, SixteenKilohertzInt16PassesThroughUnchanged) {
  auto buffers = sineBuffers(AudioFormat{16000, 1, SampleFormat::int16}, 320, 10, 440, 0.5);
  auto out = convertAll(buffers);
  ASSERT_EQ(out.size(), 3200u);
  auto whole = sineBuffers(AudioFormat{16000, 1, SampleFormat::int16}, 3200, 1, 440, 0.5);
  auto pcm = audio::PcmBuffer::make(AudioFormat{16000, 1, SampleFormat::int16}, 3200);
  ASSERT_EQ(whole[0].copyPCMData(*pcm), 0);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), pcm->int16ChannelData(0)));
}

TEST_F(Conversion, AFormatChangeHandsOverWhatTheOldConverterHeldBack) {
  std::vector<size_t> totals;
  auto first = sineBuffers(AudioFormat{48000, 2, SampleFormat::float32}, 960, 50, 440, 0.5);
  auto second = sineBuffers(AudioFormat{16000, 1, SampleFormat::int16}, 320, 50, 440, 0.5);
  std::vector<SampleBuffer> all = first;
  all.insert(all.end(), second.begin(), second.end());
  auto out = convertAll(all, &totals);
  // One second of each: nothing of the first second is lost at the change.
  EXPECT_NEAR(static_cast<double>(out.size()), 32000.0, 2.0);
}

TEST_F(Conversion, AnInputRateTooLowForThirtyTwoBitCapacityFails) {
  auto buffers = sineBuffers(AudioFormat{1.0, 1, SampleFormat::float32}, 300000, 1, 0, 0);
  auto samples = capture_->convertToPCM16(buffers[0]);
  ASSERT_FALSE(samples.has_value());
  EXPECT_EQ(samples.error(), CaptureFailure::audioBufferUnavailable());
}

}  // namespace
}  // namespace brimlow::capture
