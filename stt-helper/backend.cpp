#include "stt-helper/backend.h"

namespace brimlow::stt {

bool usesAnalyzerPath(const platform::HelperPlatform& platform) {
  return platform.osVersion() >= platform::kAnalyzerMinimumVersion;
}

}  // namespace brimlow::stt
