// Any "pcmBase64" text: decoding fails with one of its errors, or the text was strict standard
// Base64 and the buffer holds exactly its bytes (re-encoding gives the text back).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "protocol/pcm_base64.h"
#include "protocol/pcm_payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto buffer = brimlow::stt::makePCMBuffer(text);
  if (!buffer) return 0;
  const std::span<const int16_t> samples((*buffer)->int16ChannelData(0), (*buffer)->frameLength());
  if (brimlow::protocol::pcm16Base64(samples) != text) std::abort();
  return 0;
}
