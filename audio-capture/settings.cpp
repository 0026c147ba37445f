#include "audio-capture/settings.h"

#include <cstdlib>

namespace brimlow::capture {

Settings readSettings() {
  Settings settings;
  settings.osVersion = platform::linuxReportedOsVersion(std::getenv("BRIMLOW_PLATFORM_VERSION"));
  return settings;
}

}  // namespace brimlow::capture
