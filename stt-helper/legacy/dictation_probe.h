#pragma once
// Whether the system's Dictation switch lets the recognizer run. A short task over silence
// answers it; the answer is kept for the whole process, a "disabled" one only for 30 s so that a
// user who turns Dictation back on is noticed.
#include <optional>
#include <string>

#include "platform/speech/recognizer.h"
#include "support/audio/audio.h"

namespace brimlow::stt {

enum class DictationAvailability { enabled, disabled, unknown };

// "enabled", "disabled" or "unknown".
const char* toString(DictationAvailability verdict);
// Exact match of the raw values; nothing for any other text.
std::optional<DictationAvailability> dictationAvailabilityFromString(const std::string& text);

inline constexpr const char* dictationSetupMessage =
    "macOS Dictation is disabled. Turn it on in System Settings > Keyboard > Dictation, then "
    "retry.";

inline constexpr double dictationRecheckIntervalSeconds = 30.0;
inline constexpr double dictationProbeDefaultTimeoutSeconds = 2.5;

// The cached verdict, probing first when there is none or when a "disabled" one is 30 s old.
// Blocks the caller for at most about `timeoutSeconds` while a probe runs.
DictationAvailability dictationAvailability(
    speech::RecognizerService& service, const std::string& localeIdentifier,
    double timeoutSeconds = dictationProbeDefaultTimeoutSeconds);

// The cached verdict, without probing.
std::optional<DictationAvailability> cachedDictationVerdict();

// A task just failed because Dictation is off: cache "disabled" as of now.
void recordDictationDisabled();

// Code 1700, or a description naming both "dictation" and "disabled" (any case).
bool isDictationDisabledError(const speech::SpeechError& error);

// One probe over 120 ms of silence, uncached. "unknown" when it cannot be asked or no answer
// comes before the timeout.
DictationAvailability probeDictation(speech::RecognizerService& service,
                                     const std::string& localeIdentifier, double timeoutSeconds);

// `milliseconds` of 16 kHz mono int16 zeros, or nothing when no buffer can be had.
audio::PcmBufferPtr makeSilentBuffer(double milliseconds);

// Forgets the cached verdict, so that each test starts from a fresh process's state.
void resetDictationCacheForTesting();

}  // namespace brimlow::stt
