// The "pcmBase64" encoding: little-endian int16 in standard Base64 with padding, which the
// helper's strict decoding takes back unchanged.
#include "protocol/pcm_base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "protocol/pcm_payload.h"

namespace brimlow::protocol {
namespace {

TEST(Pcm16Base64, IsLittleEndianStandardBase64WithPadding) {
  EXPECT_EQ(pcm16Base64(std::vector<int16_t>{}), "");
  EXPECT_EQ(pcm16Base64(std::vector<int16_t>{1}), "AQA=");               // 01 00
  EXPECT_EQ(pcm16Base64(std::vector<int16_t>{-1, 0x0102}), "//8CAQ==");  // ff ff 02 01
  EXPECT_EQ(pcm16Base64(std::vector<int16_t>{-32768, 32767, 0}), "AID/fwAA");
}

TEST(Pcm16Base64, TheHelperDecodesItBackUnchanged) {
  std::vector<int16_t> samples(4000);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(static_cast<int>(i * 37 % 65536) - 32768);
  auto buffer = stt::makePCMBuffer(pcm16Base64(samples));
  ASSERT_TRUE(buffer);
  ASSERT_EQ((*buffer)->frameLength(), samples.size());
  const int16_t* decoded = (*buffer)->int16ChannelData(0);
  EXPECT_EQ(std::vector<int16_t>(decoded, decoded + samples.size()), samples);
}

}  // namespace
}  // namespace brimlow::protocol
