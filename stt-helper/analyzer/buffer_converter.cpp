#include "stt-helper/analyzer/buffer_converter.h"

#include <cmath>
#include <limits>

namespace brimlow::stt {

std::string ConversionError::description() const {
  switch (kind) {
    case Kind::conversionFailed:
      return platformError ? "Audio conversion failed: " + *platformError
                           : std::string("Audio conversion failed");
    case Kind::failedToCreateConverter:
      return "Could not create an audio converter for the SpeechAnalyzer format";
    case Kind::failedToCreateBuffer:
      return "Could not allocate a converted audio buffer";
  }
  return "Audio conversion failed";
}

std::optional<uint32_t> convertedCapacity(uint32_t inputFrames, double inputRate,
                                          double outputRate) {
  const double frames = std::ceil(static_cast<double>(inputFrames) * (outputRate / inputRate));
  if (!(frames <= static_cast<double>(std::numeric_limits<uint32_t>::max()))) return std::nullopt;
  return std::max<uint32_t>(static_cast<uint32_t>(frames), 1);
}

Expected<audio::PcmBufferPtr, ConversionError> BufferConverter::convert(
    const audio::PcmBufferPtr& input, const audio::AudioFormat& target) {
  using Kind = ConversionError::Kind;
  if (input->format() == target) return input;

  if (!converter_ || converter_->outputFormat() != target ||
      converter_->inputFormat() != input->format()) {
    // A new pair starts a new signal: whatever the old converter held back belongs to the old one.
    converter_ = audio::Converter::make(input->format(), target);
  }
  if (!converter_) return unexpected(ConversionError{Kind::failedToCreateConverter, {}});

  auto capacity = convertedCapacity(input->frameLength(), converter_->inputFormat().sampleRate,
                                    converter_->outputFormat().sampleRate);
  if (!capacity) return unexpected(ConversionError{Kind::failedToCreateBuffer, {}});
  audio::PcmBufferPtr output = audio::PcmBuffer::make(converter_->outputFormat(), *capacity);
  if (!output) return unexpected(ConversionError{Kind::failedToCreateBuffer, {}});

  // Never flushed: the stream goes on with the next chunk.
  std::string error;
  if (converter_->convert(*input, *output, &error) == audio::Converter::Status::error) {
    return unexpected(ConversionError{
        Kind::conversionFailed, error.empty() ? std::nullopt : std::optional<std::string>(error)});
  }
  return output;
}

}  // namespace brimlow::stt
