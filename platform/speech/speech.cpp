#include "platform/speech/analysis.h"

#include <future>

namespace brimlow::speech {

std::string assetStatusName(AssetStatus status) {
  switch (status) {
    case AssetStatus::unsupported:
      return "unsupported";
    case AssetStatus::supported:
      return "supported";
    case AssetStatus::downloading:
      return "downloading";
    case AssetStatus::installed:
      return "installed";
  }
  return "unsupported";
}

std::optional<SpeechError> SpeechAnalyzer::finalizeAndFinishThroughEndOfInput() {
  std::promise<std::optional<SpeechError>> outcome;
  auto finished = outcome.get_future();
  finalizeAndFinish(
      [&outcome](const std::optional<SpeechError>& error) { outcome.set_value(error); });
  return finished.get();
}

}  // namespace brimlow::speech
