// Any stdin line: decoding must fail cleanly or give a command whose fields re-encode.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/helper_commands.h"
#include "stt-helper/event_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  auto command = brimlow::stt::decodeHelperCommand(line);
  if (command) {
    brimlow::stt::Event event = {{"type", command->type}};
    if (command->sessionId) event["sessionId"] = *command->sessionId;
    std::string text, failure;
    brimlow::stt::JSONLineWriter::encode(event, text, failure);
  }
  return 0;
}
