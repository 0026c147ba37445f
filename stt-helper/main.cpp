#include "platform/helper_platform.h"
#include "stt-helper/helper.h"
#include "stt-helper/settings.h"

int main(int argc, char** argv) {
  using namespace brimlow;
  const stt::Settings settings = stt::readSettings();
  return stt::run(argc, argv, settings,
                  platform::makeLinuxHelperPlatform(settings.osVersion, settings.engine));
}
