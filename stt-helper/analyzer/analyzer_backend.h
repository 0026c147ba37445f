#pragma once
#include <memory>

#include "stt-helper/backend.h"

namespace brimlow::stt {

// The backend on the analysis service: two channels per session, built when the session starts.
std::unique_ptr<SpeechBackend> makeSpeechAnalyzerBackend(BackendContext& context);

}  // namespace brimlow::stt
