#pragma once
// The wire form of one standard-input command.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/expected.h"

namespace brimlow::stt {

enum class AudioSource { remote, selfAudio };

// In declaration order: remote first, then self.
inline constexpr AudioSource kAllAudioSources[] = {AudioSource::remote, AudioSource::selfAudio};

// "remote" or "self".
const char* toString(AudioSource source);
// Exact, case-sensitive match of the raw values.
std::optional<AudioSource> audioSourceFromString(std::string_view text);

struct HelperCommand {
  std::string type;
  std::optional<std::string> sessionId;
  std::optional<AudioSource> source;
  std::optional<std::string> locale;
  std::optional<std::vector<std::string>> vocabulary;
  std::optional<int64_t> sequence;
  std::optional<double> capturedAt;
  std::optional<std::string> pcmBase64;
  std::optional<bool> suppressed;
  std::optional<double> sentAt;
  std::optional<bool> echoCancellation;
};

// Decodes one line strictly: one JSON object with a string "type"; null counts as absent; a
// present key of the wrong type, or an unknown "source", fails the whole line. Unknown keys are
// ignored. The error is a description for the host.
Expected<HelperCommand, std::string> decodeHelperCommand(std::string_view line);

}  // namespace brimlow::stt
