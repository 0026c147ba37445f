#include "stt-helper/backend.h"

#include "stt-helper/analyzer/analyzer_backend.h"
#include "stt-helper/legacy/legacy_backend.h"

namespace brimlow::stt {

bool usesAnalyzerPath(const platform::HelperPlatform& platform) {
  return platform.osVersion() >= platform::kAnalyzerMinimumVersion;
}

std::unique_ptr<SpeechBackend> makeSpeechBackend(BackendContext& context) {
  if (usesAnalyzerPath(context.platform)) return makeSpeechAnalyzerBackend(context);
  return makeLegacyBackend(context);
}

}  // namespace brimlow::stt
