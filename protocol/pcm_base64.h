#pragma once
// The "pcmBase64" text of audio events and commands: 16-bit samples as little-endian bytes in
// standard Base64 (RFC 4648 alphabet, with padding), encoded by libsodium. The helper's strict
// decoding is pcm_payload.h.
#include <cstdint>
#include <span>
#include <string>

namespace brimlow::protocol {

// Any number of samples, none included ("" then); the bytes are little-endian on every host.
std::string pcm16Base64(std::span<const int16_t> samples);

}  // namespace brimlow::protocol
