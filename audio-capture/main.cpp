#include "audio-capture/program.h"

int main(int argc, char** argv) {
  return brimlow::capture::run(argc, argv, brimlow::platform::capture::makeLinuxCapturePlatform());
}
