#pragma once
// Everything brimlow-stt-helper reaches of the outside world, gathered so that the product
// binary passes the Linux services and tests pass scripted ones.
#include <functional>
#include <memory>

#include "platform/speech/analysis.h"
#include "platform/speech/engine_settings.h"
#include "platform/speech/recognizer.h"
#include "support/system/system.h"

namespace brimlow::platform {

struct HelperPlatform {
  std::function<OsVersion()> osVersion;
  std::shared_ptr<speech::AnalysisService> analysis;
  std::shared_ptr<speech::RecognizerService> recognizer;
};

// Streaming and the one-shot modes take the current path from this version on.
inline constexpr OsVersion kAnalyzerMinimumVersion{26, 0, 0};

// The real services of this machine, reporting `version`, on an engine set up with `engine`.
HelperPlatform makeLinuxHelperPlatform(OsVersion version, const speech::EngineSettings& engine);

}  // namespace brimlow::platform
