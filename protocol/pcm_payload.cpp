#include "protocol/pcm_payload.h"

#include <sodium.h>

#include <cstring>
#include <vector>

namespace brimlow::stt {

std::string describe(PCMError error) {
  switch (error) {
    case PCMError::invalidBase64:
      return "pcmBase64 is not valid Base64";
    case PCMError::oddByteCount:
      return "PCM16 payload must contain an even number of bytes";
    case PCMError::formatUnavailable:
      return "Could not create the 16 kHz PCM audio format";
    case PCMError::bufferUnavailable:
      return "Could not allocate an audio buffer";
  }
  return "pcmBase64 is not valid Base64";
}

namespace {

bool inStandardAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == '=';
}

}  // namespace

Expected<audio::PcmBufferPtr, PCMError> makePCMBuffer(std::string_view base64) {
  // libsodium 1.0.18 maps some bytes above 0x7F to alphabet values instead of refusing them;
  // check the alphabet first so that only true Base64 is ever decoded.
  for (char c : base64)
    if (!inStandardAlphabet(c)) return unexpected(PCMError::invalidBase64);
  std::vector<unsigned char> bytes(base64.size() / 4 * 3 + 3);
  size_t length = 0;
  const char* end = nullptr;
  // No ignore set: white space and line breaks are errors; the original variant refuses "-"/"_".
  int rc = sodium_base642bin(bytes.data(), bytes.size(), base64.data(), base64.size(), nullptr,
                             &length, &end, sodium_base64_VARIANT_ORIGINAL);
  if (rc != 0 || end != base64.data() + base64.size()) return unexpected(PCMError::invalidBase64);
  if (length % 2 != 0) return unexpected(PCMError::oddByteCount);

  const audio::AudioFormat format{helperSampleRate, 1, audio::SampleFormat::int16};
  if (!format.isValid()) return unexpected(PCMError::formatUnavailable);
  if (length / 2 > UINT32_MAX) return unexpected(PCMError::bufferUnavailable);
  const auto frames = static_cast<uint32_t>(length / 2);
  auto buffer = audio::PcmBuffer::make(format, frames);
  if (!buffer || !buffer->int16ChannelData(0)) return unexpected(PCMError::bufferUnavailable);
  buffer->setFrameLength(frames);
  // The wire is little-endian, like this machine: copy without swapping or scaling.
  if (length > 0) std::memcpy(buffer->int16ChannelData(0), bytes.data(), length);
  return buffer;
}

}  // namespace brimlow::stt
