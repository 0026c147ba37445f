#pragma once
// What the on-device engine is set up with, as the program's settings give it.
#include <string>
#include <vector>

namespace brimlow::speech {

struct EngineSettings {
  // Directories searched for models before the distribution's own, earliest first.
  std::vector<std::string> modelRoots;
  // Flags and values that replace or add to the engine's own for every decoder, for trade-off
  // studies; empty in production.
  std::vector<std::string> decoderArgs;
  // How many decoders may work at once; 0: as many as the machine has room for.
  int maxDecoders = 0;
};

}  // namespace brimlow::speech
