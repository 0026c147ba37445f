#pragma once
// Converts a channel's incoming chunks into the analyzer's format. One converter lives as long as
// the format pair stays the same, so a stream of chunks is resampled as one continuous signal:
// what the filter holds back after one chunk comes out with the next, never dropped at a seam.
#include <memory>
#include <optional>
#include <string>

#include "platform/expected.h"
#include "support/audio/audio.h"
#include "support/audio/converter.h"

namespace brimlow::stt {

struct ConversionError {
  enum class Kind { conversionFailed, failedToCreateConverter, failedToCreateBuffer };
  Kind kind = Kind::conversionFailed;
  std::optional<std::string> platformError;  // what the converter said, for conversionFailed
  bool operator==(const ConversionError&) const = default;
  // The text the backend puts after "SpeechAnalyzer input failed: ".
  std::string description() const;
};

class BufferConverter {
 public:
  // A buffer already in `target` comes back as the same object. Otherwise the result holds what
  // the converter has ready: it may be shorter than the input's share, even empty, when the
  // filter holds samples back for the next call.
  Expected<audio::PcmBufferPtr, ConversionError> convert(const audio::PcmBufferPtr& input,
                                                         const audio::AudioFormat& target);

  // The converter in use, if any; for tests.
  const audio::Converter* currentConverter() const { return converter_.get(); }

 private:
  std::unique_ptr<audio::Converter> converter_;
};

// Output frames for `inputFrames` at the given rates: rounded up, at least 1; nothing when it
// does not fit a 32-bit frame count.
std::optional<uint32_t> convertedCapacity(uint32_t inputFrames, double inputRate,
                                          double outputRate);

}  // namespace brimlow::stt
