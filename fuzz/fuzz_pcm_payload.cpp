// Any "pcmBase64" text: decoding fails with one of its errors, or the text was strict standard
// Base64 and the buffer holds exactly its bytes (re-encoding gives the text back).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <sodium.h>

#include "stt-helper/pcm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto buffer = brimlow::stt::makePCMBuffer(text);
  if (!buffer) return 0;
  const size_t bytes = size_t{(*buffer)->frameLength()} * 2;
  std::string again(sodium_base64_encoded_len(bytes, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(again.data(), again.size(),
                    reinterpret_cast<const unsigned char*>((*buffer)->int16ChannelData(0)), bytes,
                    sodium_base64_VARIANT_ORIGINAL);
  again.resize(std::strlen(again.c_str()));
  if (again != text) std::abort();
  return 0;
}
