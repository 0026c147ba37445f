#include "platform/helper_platform.h"

#if BRIMLOW_HAVE_POCKETSPHINX
#include "engines/pocketsphinx/models.h"
#include "engines/pocketsphinx/services.h"
#else
#include "platform/speech/unavailable.h"
#endif

namespace brimlow::platform {

HelperPlatform makeLinuxHelperPlatform(OsVersion version, const speech::EngineSettings& engine) {
  HelperPlatform platform;
  platform.osVersion = [version] { return version; };
#if BRIMLOW_HAVE_POCKETSPHINX
  pocketsphinx::configureEngine(engine);
  platform.analysis = pocketsphinx::makeAnalysisService();
  platform.recognizer = pocketsphinx::makeRecognizerService();
#else
  (void)engine;
  // Built without an engine: both services say so honestly.
  platform.analysis = std::make_shared<speech::UnavailableAnalysisService>();
  platform.recognizer = std::make_shared<speech::UnavailableRecognizerService>();
#endif
  return platform;
}

}  // namespace brimlow::platform
