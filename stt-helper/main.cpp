#include "platform/helper_platform.h"
#include "stt-helper/backends.h"
#include "stt-helper/helper.h"
#include "stt-helper/settings.h"

// Assembles the helper: its settings, the Linux services and the backend the system calls for.
int main(int argc, char** argv) {
  using namespace brimlow;
  const stt::Settings settings = stt::readSettings();
  return stt::run(argc, argv, settings,
                  platform::makeLinuxHelperPlatform(settings.osVersion, settings.engine),
                  stt::makeSpeechBackend);
}
