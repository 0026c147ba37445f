#pragma once
// Base64 payload of an "audio" command to a 16 kHz mono int16 buffer.
#include <string>
#include <string_view>

#include "platform/expected.h"
#include "support/audio/audio.h"

namespace brimlow::stt {

inline constexpr double helperSampleRate = 16000.0;

enum class PCMError { invalidBase64, oddByteCount, formatUnavailable, bufferUnavailable };

// The fixed description of each error, also its message to the host.
std::string describe(PCMError error);

// Strict standard Base64 (RFC 4648 alphabet with padding; no white space, no URL-safe
// characters), then an even number of bytes copied as little-endian samples, unchanged.
Expected<audio::PcmBufferPtr, PCMError> makePCMBuffer(std::string_view base64);

}  // namespace brimlow::stt
