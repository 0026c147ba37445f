#include "protocol/capture_events.h"

namespace brimlow::capture {

bool isStopCommand(std::string_view line) {
  auto json = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
  if (json.is_discarded() || !json.is_object()) return false;
  auto type = json.find("type");
  if (type == json.end() || !type->is_string()) return false;
  const auto& text = type->get_ref<const std::string&>();
  return text == "stop" || text == "shutdown";
}

Event encode(CaptureAudio&& event) {
  Event out = {{"type", "capture.audio"},
               {"source", "remote"},
               {"sequence", event.sequence},
               {"capturedAt", event.capturedAt},
               {"level", event.level}};
  out["pcmBase64"] = std::move(event.pcmBase64);
  return out;
}

Event encode(const CaptureStatus& event) {
  Event out = {{"type", "capture.status"},
               {"state", event.state},
               {"message", event.message},
               {"at", event.at}};
  if (event.available) out["available"] = *event.available;
  return out;
}

Event encode(const CaptureErrorEvent& event) {
  return {{"type", "capture.error"}, {"message", event.message}, {"at", event.at}};
}

Event encode(const CaptureHealth& event) {
  return {{"type", "capture.health"},
          {"available", true},
          {"permission", event.authorized ? "authorized" : "not-determined"},
          {"implementation", "ScreenCaptureKit"},
          {"sampleRate", event.sampleRate},
          {"chunkMs", event.chunkMs}};
}

}  // namespace brimlow::capture
