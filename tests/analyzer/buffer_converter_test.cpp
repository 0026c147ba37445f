// BufferConverter: pass-through, the capacity rule, one continuous signal across chunks, and
// rebuilding when the format pair changes.
#include "stt-helper/analyzer/buffer_converter.h"

#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

namespace brimlow::stt {
namespace {

using audio::AudioFormat;
using audio::PcmBuffer;
using audio::PcmBufferPtr;
using audio::SampleFormat;

const AudioFormat kPcm16k = audio::pcm16Mono16k();
const AudioFormat kFloat48k{48000.0, 1, SampleFormat::float32};

// `frames` frames of a 440 Hz sine at 16 kHz, int16, starting at frame `first`.
PcmBufferPtr sine16k(uint32_t first, uint32_t frames) {
  auto buffer = PcmBuffer::make(kPcm16k, frames);
  for (uint32_t i = 0; i < frames; ++i) {
    double t = static_cast<double>(first + i) / 16000.0;
    buffer->int16ChannelData(0)[i] =
        static_cast<int16_t>(std::lround(16000.0 * std::sin(2 * std::numbers::pi * 440.0 * t)));
  }
  buffer->setFrameLength(frames);
  return buffer;
}

std::vector<float> samples(const PcmBuffer& buffer) {
  const float* data = buffer.floatChannelData(0);
  return std::vector<float>(data, data + buffer.frameLength());
}

TEST(BufferConverter, BufferAlreadyInTheTargetFormatComesBackAsTheSameObject) {
  BufferConverter converter;
  auto input = sine16k(0, 1600);
  auto result = converter.convert(input, kPcm16k);
  ASSERT_TRUE(result);
  EXPECT_EQ(result.value().get(), input.get());
  EXPECT_EQ(converter.currentConverter(), nullptr);

  // The next chunk that needs conversion still builds the converter from scratch.
  auto converted = converter.convert(sine16k(1600, 1600), kFloat48k);
  ASSERT_TRUE(converted);
  ASSERT_NE(converter.currentConverter(), nullptr);
  EXPECT_EQ(converter.currentConverter()->inputFormat(), kPcm16k);
  EXPECT_EQ(converted.value()->format(), kFloat48k);
}

TEST(BufferConverter, CapacityIsTheRoundedUpShareAndAtLeastOne) {
  EXPECT_EQ(convertedCapacity(1600, 16000, 48000), 4800u);
  EXPECT_EQ(convertedCapacity(1601, 48000, 16000), 534u);
  EXPECT_EQ(convertedCapacity(0, 16000, 48000), 1u);
  EXPECT_EQ(convertedCapacity(1, 48000, 16000), 1u);
  EXPECT_EQ(convertedCapacity(4000, 16000, 44100), 11025u);
  EXPECT_EQ(convertedCapacity(0xFFFFFFFFu, 16000, 48000), std::nullopt);

  BufferConverter converter;
  auto first = converter.convert(sine16k(0, 1600), kFloat48k);
  ASSERT_TRUE(first);
  EXPECT_EQ(first.value()->frameCapacity(), 4800u);
  EXPECT_LE(first.value()->frameLength(), 4800u);
}

TEST(BufferConverter, EmptyInputGivesAnEmptyBufferOfCapacityOne) {
  BufferConverter converter;
  auto empty = PcmBuffer::make(kPcm16k, 0);
  auto result = converter.convert(empty, kFloat48k);
  ASSERT_TRUE(result);
  EXPECT_EQ(result.value()->frameCapacity(), 1u);
  EXPECT_EQ(result.value()->frameLength(), 0u);
  EXPECT_EQ(result.value()->format(), kFloat48k);
}

// Chunk sizes that do not divide evenly, to test every kind of seam.
std::vector<float> convertInChunks(const std::vector<uint32_t>& sizes, uint32_t total,
                                   const audio::Converter** used = nullptr) {
  BufferConverter converter;
  std::vector<float> out;
  uint32_t done = 0;
  const audio::Converter* first = nullptr;
  for (size_t i = 0; done < total; ++i) {
    uint32_t size = std::min(sizes[i % sizes.size()], total - done);
    auto result = converter.convert(sine16k(done, size), kFloat48k);
    EXPECT_TRUE(result);
    if (!result) return out;
    auto part = samples(*result.value());
    out.insert(out.end(), part.begin(), part.end());
    done += size;
    if (!first) first = converter.currentConverter();
    // The same platform converter serves every chunk of the pair.
    EXPECT_EQ(converter.currentConverter(), first);
  }
  if (used) *used = first;
  return out;
}

TEST(BufferConverter, ChunksJoinWithoutASeam) {
  const uint32_t total = 16000;
  auto whole = convertInChunks({total}, total);
  auto chunked = convertInChunks({1600, 1, 999, 4000, 0, 2401}, total);
  // The filter holds back about the same tail either way; nothing is dropped at a seam.
  ASSERT_GT(whole.size(), 46000u);
  ASSERT_GT(chunked.size(), 46000u);
  EXPECT_LE(whole.size(), 48000u);
  EXPECT_LE(chunked.size(), 48000u);
  size_t common = std::min(whole.size(), chunked.size());
  double worst = 0;
  for (size_t i = 0; i < common; ++i)
    worst = std::max(worst, static_cast<double>(std::fabs(whole[i] - chunked[i])));
  EXPECT_LT(worst, 1e-4) << "chunked conversion differs from whole conversion";

  // And the signal is the same sine at the new rate, aligned in time.
  double sineError = 0;
  for (size_t i = 2000; i < common - 2000; ++i) {
    double expected = 16000.0 / 32768.0 * std::sin(2 * std::numbers::pi * 440.0 * i / 48000.0);
    sineError = std::max(sineError, std::fabs(chunked[i] - expected));
  }
  EXPECT_LT(sineError, 2e-3);
}

TEST(BufferConverter, ANewFormatPairReplacesTheConverter) {
  BufferConverter converter;
  ASSERT_TRUE(converter.convert(sine16k(0, 1600), kFloat48k));
  const audio::Converter* first = converter.currentConverter();

  // Another input format.
  const AudioFormat stereo44k{44100.0, 2, SampleFormat::float32};
  auto stereo = PcmBuffer::make(stereo44k, 441);
  for (uint32_t i = 0; i < 441; ++i) {
    stereo->floatChannelData(0)[i] = 0.5f;
    stereo->floatChannelData(1)[i] = -0.25f;
  }
  stereo->setFrameLength(441);
  auto mixed = converter.convert(stereo, kFloat48k);
  ASSERT_TRUE(mixed);
  EXPECT_EQ(converter.currentConverter()->inputFormat(), stereo44k);
  // 441 x (48000 / 44100) is a hair above 480 in doubles.
  EXPECT_GE(mixed.value()->frameCapacity(), 480u);
  EXPECT_LE(mixed.value()->frameCapacity(), 481u);
  EXPECT_EQ(mixed.value()->format().channelCount, 1u);

  // Another target.
  const AudioFormat int16At8k{8000.0, 1, SampleFormat::int16};
  auto down = converter.convert(sine16k(0, 1600), int16At8k);
  ASSERT_TRUE(down);
  EXPECT_EQ(converter.currentConverter()->outputFormat(), int16At8k);
  EXPECT_EQ(down.value()->frameCapacity(), 800u);
  (void)first;
}

TEST(BufferConverter, SameRateChangesSampleFormatAndMixesChannelsExactly) {
  BufferConverter converter;
  const AudioFormat stereo16k{16000.0, 2, SampleFormat::int16};
  auto input = PcmBuffer::make(stereo16k, 3);
  const int16_t left[] = {1000, -32768, 32767}, right[] = {3000, -32768, 32767};
  for (int i = 0; i < 3; ++i) {
    input->int16ChannelData(0)[i] = left[i];
    input->int16ChannelData(1)[i] = right[i];
  }
  input->setFrameLength(3);
  auto result = converter.convert(input, AudioFormat{16000.0, 1, SampleFormat::float32});
  ASSERT_TRUE(result);
  ASSERT_EQ(result.value()->frameLength(), 3u);
  const float* out = result.value()->floatChannelData(0);
  EXPECT_FLOAT_EQ(out[0], 2000.0f / 32768.0f);
  EXPECT_FLOAT_EQ(out[1], -1.0f);
  EXPECT_FLOAT_EQ(out[2], 32767.0f / 32768.0f);
}

TEST(BufferConverter, AnImpossiblePairFailsOnEveryCall) {
  BufferConverter converter;
  const AudioFormat threeChannels{16000.0, 3, SampleFormat::float32};
  const AudioFormat twoChannels{48000.0, 2, SampleFormat::float32};
  auto input = PcmBuffer::make(threeChannels, 10);
  input->setFrameLength(10);
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto result = converter.convert(input, twoChannels);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ConversionError::Kind::failedToCreateConverter);
    EXPECT_EQ(converter.currentConverter(), nullptr);
  }
  EXPECT_EQ((ConversionError{ConversionError::Kind::failedToCreateConverter, {}}.description()),
            "Could not create an audio converter for the SpeechAnalyzer format");
  // The next possible pair works again.
  EXPECT_TRUE(converter.convert(sine16k(0, 16), kFloat48k));
}

}  // namespace
}  // namespace brimlow::stt
