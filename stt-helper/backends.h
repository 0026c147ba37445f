#pragma once
// The choice between the two recognition backends: the one file that knows both. Each program's
// main passes it to run() where it assembles the program; tests pass backends of their own.
#include <memory>

#include "stt-helper/backend.h"

namespace brimlow::stt {

// The analyzer backend where usesAnalyzerPath() holds, the legacy backend elsewhere.
std::unique_ptr<SpeechBackend> makeSpeechBackend(BackendContext& context);

}  // namespace brimlow::stt
