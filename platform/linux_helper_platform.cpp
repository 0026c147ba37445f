#include "platform/helper_platform.h"

#if BRIMLOW_HAVE_POCKETSPHINX
#include "platform/pocketsphinx/services.h"
#else
#include "platform/speech/unavailable.h"
#endif

namespace brimlow::platform {

HelperPlatform makeLinuxHelperPlatform() {
  HelperPlatform platform;
  platform.osVersion = linuxReportedOsVersion;
#if BRIMLOW_HAVE_POCKETSPHINX
  platform.analysis = pocketsphinx::makeAnalysisService();
  platform.recognizer = pocketsphinx::makeRecognizerService();
#else
  // Built without an engine: both services say so honestly.
  platform.analysis = std::make_shared<speech::UnavailableAnalysisService>();
  platform.recognizer = std::make_shared<speech::UnavailableRecognizerService>();
#endif
  return platform;
}

}  // namespace brimlow::platform
