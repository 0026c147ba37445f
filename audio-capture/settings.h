#pragma once
// Everything brimlow-audio-capture takes from its environment, read once where the program
// starts and passed down from there; nothing else in the program reads the environment.
//
//   BRIMLOW_PLATFORM_VERSION  the system version reported (for example "15.0"); 26.0 when unset
//                             or unparsable
//
// libpulse reads its own variables (PULSE_SERVER, PULSE_RUNTIME_PATH, XDG_RUNTIME_DIR) to find
// the sound server.
#include "support/system/system.h"

namespace brimlow::capture {

struct Settings {
  platform::OsVersion osVersion = platform::linuxReportedOsVersion(nullptr);
};

// The settings of this process's environment.
Settings readSettings();

}  // namespace brimlow::capture
