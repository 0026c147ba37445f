#include "audio-capture/program.h"
#include "audio-capture/settings.h"

int main(int argc, char** argv) {
  using namespace brimlow;
  const capture::Settings settings = capture::readSettings();
  return capture::run(argc, argv, platform::capture::makeLinuxCapturePlatform(settings.osVersion));
}
