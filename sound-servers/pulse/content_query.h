#pragma once
// What can be captured: the sound server's outputs (the default one first) and every running
// process (those the server knows by name first), asked over a connection of its own.
#include <chrono>

#include "platform/capture/capture.h"
#include "platform/expected.h"

namespace brimlow::platform::pulse {

Expected<capture::ShareableContent, capture::CaptureError> queryContent(
    std::chrono::milliseconds timeout);

}  // namespace brimlow::platform::pulse
