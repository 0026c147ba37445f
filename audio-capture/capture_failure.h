#pragma once
// The capture program's own failures; the description is the message the host sees.
#include <string>
#include <variant>

#include "platform/capture/capture.h"

namespace brimlow::capture {

class CaptureFailure {
 public:
  enum class Kind {
    conversionFailed,
    displayUnavailable,
    audioFormatUnavailable,
    audioBufferUnavailable
  };

  static CaptureFailure conversionFailed(std::string detail) {
    return CaptureFailure(Kind::conversionFailed, std::move(detail));
  }
  static CaptureFailure displayUnavailable() { return CaptureFailure(Kind::displayUnavailable); }
  static CaptureFailure audioFormatUnavailable() {
    return CaptureFailure(Kind::audioFormatUnavailable);
  }
  static CaptureFailure audioBufferUnavailable() {
    return CaptureFailure(Kind::audioBufferUnavailable);
  }

  Kind kind() const { return kind_; }
  const std::string& detail() const { return detail_; }
  std::string description() const;
  bool operator==(const CaptureFailure&) const = default;

 private:
  explicit CaptureFailure(Kind kind, std::string detail = {})
      : kind_(kind), detail_(std::move(detail)) {}
  Kind kind_;
  std::string detail_;
};

// Why a capture could not start: one of ours, or the capture service's.
using StartFailure = std::variant<CaptureFailure, platform::capture::CaptureError>;
std::string describe(const StartFailure& failure);

}  // namespace brimlow::capture
