#include "stt-helper/backends.h"

#include "stt-helper/analyzer/analyzer_backend.h"
#include "stt-helper/legacy/legacy_backend.h"

namespace brimlow::stt {

std::unique_ptr<SpeechBackend> makeSpeechBackend(BackendContext& context) {
  if (usesAnalyzerPath(context.platform)) return makeSpeechAnalyzerBackend(context);
  return makeLegacyBackend(context);
}

}  // namespace brimlow::stt
