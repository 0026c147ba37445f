#include "platform/speech/analysis.h"

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

}  // namespace brimlow::speech
