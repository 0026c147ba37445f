#include "protocol/pcm_base64.h"

#include <sodium.h>

#include <bit>
#include <vector>

namespace brimlow::protocol {

std::string pcm16Base64(std::span<const int16_t> samples) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(samples.data());
  const size_t size = samples.size() * 2;
  // On a little-endian machine the samples' own memory is the payload; elsewhere a copy is.
  std::vector<unsigned char> littleEndian;
  if constexpr (std::endian::native != std::endian::little) {
    littleEndian.resize(size);
    for (size_t i = 0; i < samples.size(); ++i) {
      const auto u = static_cast<uint16_t>(samples[i]);
      littleEndian[2 * i] = static_cast<unsigned char>(u & 0xFF);
      littleEndian[2 * i + 1] = static_cast<unsigned char>(u >> 8);
    }
    bytes = littleEndian.data();
  }
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
  text.resize(text.size() - 1);  // the terminating NUL
  return text;
}

}  // namespace brimlow::protocol
