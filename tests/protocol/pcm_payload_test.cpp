#include "protocol/pcm_payload.h"

#include <gtest/gtest.h>

#include "protocol/pcm_base64.h"

namespace brimlow::stt {
namespace {

TEST(MakePCMBuffer, CopiesLittleEndianSamplesUnchanged) {
  auto buffer = makePCMBuffer("AQD/fw==");  // 01 00 FF 7F
  ASSERT_TRUE(buffer);
  const auto& b = **buffer;
  EXPECT_EQ(b.format(), audio::pcm16Mono16k());
  EXPECT_EQ(b.frameLength(), 2u);
  EXPECT_EQ(b.frameCapacity(), 2u);
  EXPECT_EQ(b.int16ChannelData(0)[0], 1);
  EXPECT_EQ(b.int16ChannelData(0)[1], 32767);

  std::vector<int16_t> samples(1600);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 37 - 30000);
  auto chunk = makePCMBuffer(protocol::pcm16Base64(samples));  // 3200 bytes: 100 ms
  ASSERT_TRUE(chunk);
  ASSERT_EQ((*chunk)->frameLength(), 1600u);
  EXPECT_TRUE(std::equal(samples.begin(), samples.end(), (*chunk)->int16ChannelData(0)));
}

TEST(MakePCMBuffer, EmptyPayloadGivesAnEmptyBuffer) {
  auto buffer = makePCMBuffer("");
  ASSERT_TRUE(buffer);
  EXPECT_EQ((*buffer)->frameLength(), 0u);
}

TEST(MakePCMBuffer, RejectsAnythingButStrictStandardBase64) {
  for (const char* bad :
       {"AQD/\nfw==", "AQD/ fw==", " AQD/fw==", "AQD/fw== ", "AQD_fw==", "AQD-fw==", "AQD/fw",
        "AQD/fw=", "AQD/fw==AA", "@@@@", "A===", "\x9a\x8eGGGGGGGGGGGG\xe4T", "AQD/f\xc3\xa9=="}) {
    auto buffer = makePCMBuffer(bad);
    ASSERT_FALSE(buffer) << bad;
    EXPECT_EQ(buffer.error(), PCMError::invalidBase64) << bad;
  }
}

TEST(MakePCMBuffer, OddByteCountAndErrorTexts) {
  auto buffer = makePCMBuffer("AAEC");  // three bytes
  ASSERT_FALSE(buffer);
  EXPECT_EQ(describe(buffer.error()), "PCM16 payload must contain an even number of bytes");
  EXPECT_EQ(describe(PCMError::invalidBase64), "pcmBase64 is not valid Base64");
  EXPECT_EQ(describe(PCMError::formatUnavailable), "Could not create the 16 kHz PCM audio format");
  EXPECT_EQ(describe(PCMError::bufferUnavailable), "Could not allocate an audio buffer");
}

}  // namespace
}  // namespace brimlow::stt
