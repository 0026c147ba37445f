// The recording helper on a system that offers the disclaiming spawn attribute: this binary
// exports the function itself, so the re-execution path runs for real.
#include <spawn.h>

#include "platform/helper_platform.h"
#include "stt-helper/helper.h"
#include "tests/helper/recording_backend.h"

extern "C" __attribute__((visibility("default"))) int responsibility_spawnattrs_setdisclaim(
    posix_spawnattr_t*, bool) {
  return 0;
}

int main(int argc, char** argv) {
  using namespace brimlow;
  const stt::Settings settings = stt::readSettings();
  return stt::run(argc, argv, settings,
                  platform::makeLinuxHelperPlatform(settings.osVersion, settings.engine),
                  [](stt::BackendContext& context) -> std::unique_ptr<stt::SpeechBackend> {
                    return std::make_unique<testing::RecordingBackend>(context.writer);
                  });
}
