#pragma once
// Types shared by both speech services.
#include <cstdint>
#include <string>

namespace brimlow::speech {

// Errors carry a domain, a code and a description: helpers branch on codes and print
// descriptions verbatim.
struct SpeechError {
  std::string domain;
  int64_t code = 0;
  std::string description;
  bool operator==(const SpeechError&) const = default;
};

// Domain and code of the error a consumer gets when its analysis or task was cancelled.
inline constexpr const char* kCancellationDomain = "BrimlowSpeech.Cancellation";
inline constexpr int64_t kCancellationCode = 1;
inline SpeechError cancellationError() {
  return {kCancellationDomain, kCancellationCode, "The operation was cancelled"};
}
inline bool isCancellation(const SpeechError& e) {
  return e.domain == kCancellationDomain && e.code == kCancellationCode;
}

}  // namespace brimlow::speech
