#pragma once
// Every event brimlow-audio-capture writes, one typed record each, and the one encoder of each,
// with the one command it understands: the capture's wire format is read here and nowhere else.
// Times are wall-clock milliseconds, taken by the caller.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace brimlow::capture {

using Event = nlohmann::json;  // objects keep their keys sorted

// Whether one line of standard input asks the capture to stop: a JSON object whose "type" is
// the string "stop" or "shutdown". Anything else is ignored.
bool isStopCommand(std::string_view line);

// "capture.audio": one chunk of what the computer plays, always the "remote" source.
struct CaptureAudio {
  int64_t sequence = 0;
  double capturedAt = 0;
  double level = 0;
  std::string pcmBase64;
};

// "capture.status": "requesting", "started" (available) or "stopped" (not available).
struct CaptureStatus {
  std::string state;
  std::string message;
  std::optional<bool> available;
  double at = 0;
};

// "capture.error"
struct CaptureErrorEvent {
  std::string message;
  double at = 0;
};

// "capture.health": the answer of "--health".
struct CaptureHealth {
  bool authorized = false;
  int64_t sampleRate = 0;
  int64_t chunkMs = 0;
};

// The audio record is taken apart: its samples' text is moved into the event, not copied.
Event encode(CaptureAudio&& event);
Event encode(const CaptureStatus& event);
Event encode(const CaptureErrorEvent& event);
Event encode(const CaptureHealth& event);

}  // namespace brimlow::capture
