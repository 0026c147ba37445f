#include "platform/helper_platform.h"
#include "stt-helper/helper.h"

int main(int argc, char** argv) {
  return brimlow::stt::run(argc, argv, brimlow::platform::makeLinuxHelperPlatform());
}
