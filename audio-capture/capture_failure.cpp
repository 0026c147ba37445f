#include "audio-capture/capture_failure.h"

namespace brimlow::capture {

std::string CaptureFailure::description() const {
  switch (kind_) {
    case Kind::conversionFailed:
      return "システム音声を16 kHzへ変換できませんでした: " + detail_;
    case Kind::displayUnavailable:
      return "取得対象のディスプレイが見つかりません。";
    case Kind::audioFormatUnavailable:
      return "システム音声のフォーマットを読み取れませんでした。";
    case Kind::audioBufferUnavailable:
      return "システム音声のバッファを作成できませんでした。";
  }
  return "システム音声のバッファを作成できませんでした。";
}

std::string describe(const StartFailure& failure) {
  if (const auto* own = std::get_if<CaptureFailure>(&failure)) return own->description();
  return std::get<platform::capture::CaptureError>(failure).description;
}

}  // namespace brimlow::capture
