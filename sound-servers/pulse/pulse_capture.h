#pragma once
// System-audio capture on the sound server through libpulse (PulseAudio, or PipeWire's pulse
// server). Outputs (sinks) stand for displays, the default output first; running processes stand
// for applications.
//
// A stream records what the computer plays, whatever the output: every playback stream on every
// output, each on its own and mixed, following outputs and streams as they come, go and move,
// except the streams of excluded processes (the server can pick one stream in, never leave one
// out). It delivers mono 32-bit float at the configured rate, copied into each configured
// channel. One output's monitor keeps time (a timer when none delivers): the buffers keep its
// pace through every change, however streams come and go.
//
// The stop delegate is called on the audio output's queue, after the last buffer, when the
// server goes away or no output is left. Every wait on the server has a short deadline of its
// own: a hung server would otherwise only fail after 30 s.
#include <chrono>
#include <memory>

#include "platform/capture/capture.h"

namespace brimlow::platform::pulse {

struct PulseCaptureOptions {
  std::chrono::milliseconds serverTimeout{3000};  // connect and every query
  std::chrono::milliseconds fragment{20};         // size of the pieces the server sends
  // A stream silent this long no longer holds the others back; the output keeps within this
  // of the clock.
  std::chrono::milliseconds stall{100};
  // Sound of one stream that waits for the output (a burst, a late start) beyond this is
  // dropped, oldest first.
  std::chrono::milliseconds heldLimit{3000};
};

std::shared_ptr<capture::CaptureService> makePulseCaptureService(PulseCaptureOptions options = {});

}  // namespace brimlow::platform::pulse
