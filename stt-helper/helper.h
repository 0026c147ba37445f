#pragma once
// Start of brimlow-stt-helper: mode by the first argument, then the command loop.
#include "platform/helper_platform.h"
#include "stt-helper/backend.h"

namespace brimlow::stt {

// Runs the helper with the settings read at start and returns its exit code (streaming mode ends
// the process itself). `factory` makes the backend: the product's main passes makeSpeechBackend
// (backends.h).
int run(int argc, char** argv, const Settings& settings, platform::HelperPlatform platform,
        BackendFactory factory);

// Streaming mode over the given descriptors; never returns: "shutdown" and end of input end the
// process with exit code 0.
[[noreturn]] void runStreaming(WriterPtr writer, platform::HelperPlatform platform,
                               const BackendFactory& factory, int inputFd = 0,
                               const Settings& settings = {});

}  // namespace brimlow::stt
