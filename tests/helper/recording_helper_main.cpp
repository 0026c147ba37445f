// brimlow-stt-helper with the recording backend (see recording_backend.h).
#include "platform/helper_platform.h"
#include "stt-helper/helper.h"
#include "tests/helper/recording_backend.h"

int main(int argc, char** argv) {
  using namespace brimlow;
  const stt::Settings settings = stt::readSettings();
  return stt::run(argc, argv, settings,
                  platform::makeLinuxHelperPlatform(settings.osVersion, settings.engine),
                  [](stt::BackendContext& context) -> std::unique_ptr<stt::SpeechBackend> {
                    return std::make_unique<testing::RecordingBackend>(context.writer);
                  });
}
