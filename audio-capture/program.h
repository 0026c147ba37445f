#pragma once
// Start of brimlow-audio-capture: the mode by the first argument, health or capture.
#include <string_view>

#include "audio-capture/event_writer.h"
#include "platform/capture/capture.h"

namespace brimlow::capture {

inline constexpr int kExitUsage = 64;

// Runs the program and returns its exit code; capture mode ends the process itself.
int run(int argc, char** argv, platform::capture::CapturePlatform platform);

// Writes the "capture.health" event.
void emitHealth(EventWriter& writer, platform::capture::CaptureService& service);

// Capture mode: never returns. "stop", "shutdown", end of input, SIGINT and SIGTERM stop the
// stream and end the process with 0; a capture that cannot start ends it with 1.
[[noreturn]] void runCapture(WriterPtr writer, platform::capture::CapturePlatform platform,
                             int inputFd = 0);

// Reads lines from `fd` until one is a stop command (isStopCommand, protocol/capture_events.h)
// (true) or the input ends (false).
bool waitForStopCommand(int fd);

}  // namespace brimlow::capture
