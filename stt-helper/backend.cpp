#include "stt-helper/backend.h"

#include "stt-helper/analyzer/analyzer_backend.h"
#include "stt-helper/legacy/legacy_backend.h"

namespace brimlow::stt {

std::unique_ptr<SpeechBackend> makeSpeechBackend(BackendContext& context) {
  if (context.platform.osVersion() >= platform::kAnalyzerMinimumVersion)
    return makeSpeechAnalyzerBackend(context);
  return makeLegacyBackend(context);
}

}  // namespace brimlow::stt
