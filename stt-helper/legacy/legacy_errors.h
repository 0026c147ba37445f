#pragma once
// The errors the legacy path reports itself: its domain and codes, named once. The analyzer
// path's codes are in analyzer/analyzer_errors.h; the recognizer service's own errors (no speech,
// Dictation off) are named in platform/speech/recognizer.h.
#include <cstdint>

#include "stt-helper/helper_errors.h"

namespace brimlow::stt {

// Legacy channel creation (the helper's domain; the analyzer channel's codes are 10 to 12).
inline constexpr const char* kLegacyChannelErrorDomain = kHelperErrorDomain;
inline constexpr int64_t kLegacyNotAuthorizedCode = 1;
inline constexpr int64_t kLegacyUnsupportedLocaleCode = 2;
inline constexpr int64_t kLegacyModelNotInstalledCode = 3;

}  // namespace brimlow::stt
