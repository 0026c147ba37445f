#pragma once
// System-audio capture on the sound server through libpulse (PulseAudio, or PipeWire's pulse
// server). Outputs (sinks) stand for displays, the default output first; running processes stand
// for applications.
//
// A stream records what its output plays as 32-bit float at the configured rate in the output's
// own channel layout (the capture program mixes down). Leaving applications out is done by
// recording every other playback stream of the output on its own and mixing them, paced by a
// recording of the whole output; the server can pick one stream in, never leave one out.
//
// The stop delegate is called on the audio output's queue, after the last buffer, when the
// server goes away or the output is removed. Every wait on the server has a short deadline of
// its own: a hung server would otherwise only fail after 30 s.
#include <chrono>
#include <memory>

#include "platform/capture/capture.h"

namespace brimlow::platform::pulse {

struct PulseCaptureOptions {
  std::chrono::milliseconds serverTimeout{3000};  // connect and every query
  std::chrono::milliseconds fragment{20};         // size of the pieces the server sends
  std::chrono::milliseconds stall{100};           // a stream silent this long is padded
};

std::shared_ptr<capture::CaptureService> makePulseCaptureService(PulseCaptureOptions options = {});

}  // namespace brimlow::platform::pulse
