#include "audio-capture/capture_failure.h"

#include "protocol/capture_texts.h"

namespace brimlow::capture {

std::string CaptureFailure::description() const {
  switch (kind_) {
    case Kind::conversionFailed:
      return protocol::kConversionFailedPrefix + detail_;
    case Kind::displayUnavailable:
      return protocol::kDisplayUnavailable;
    case Kind::audioFormatUnavailable:
      return protocol::kAudioFormatUnavailable;
    case Kind::audioBufferUnavailable:
      return protocol::kAudioBufferUnavailable;
  }
  return protocol::kAudioBufferUnavailable;
}

std::string describe(const StartFailure& failure) {
  if (const auto* own = std::get_if<CaptureFailure>(&failure)) return own->description();
  return std::get<platform::capture::CaptureError>(failure).description;
}

}  // namespace brimlow::capture
