// Any line on the capture program's standard input: ignored or a stop, never a crash; a line is
// a stop only when it is a JSON object whose "type" is exactly "stop" or "shutdown".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "audio-capture/program.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  const bool stop = brimlow::capture::isStopCommand(line);
  auto parsed = nlohmann::json::parse(line, nullptr, false);
  const bool expected = !parsed.is_discarded() && parsed.is_object() && parsed.contains("type") &&
                        parsed["type"].is_string() &&
                        (parsed["type"] == "stop" || parsed["type"] == "shutdown");
  if (stop != expected) std::abort();
  return 0;
}
