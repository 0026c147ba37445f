#pragma once
// Every event brimlow-stt-helper writes, one typed record each, and the one encoder of each: the
// helper's wire format is read here and nowhere else. Times are wall-clock milliseconds, taken by
// the caller; a key without a value is left out.
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "protocol/helper_commands.h"

namespace brimlow::stt {

using Event = nlohmann::json;  // objects keep their keys sorted

// What the helper's implementations call themselves in "implementation".
inline constexpr const char* kAnalyzerImplementation = "speech-analyzer";
inline constexpr const char* kLegacyImplementation = "sf-speech-recognizer";

// "helper.status" (with "protocolVersion": 1).
struct HelperStatus {
  std::string status;  // "checking-model", "ready", "setup-required", "unavailable"
  bool available = false;
  std::string implementation;
  std::string authorization;
  std::optional<std::string> modelStatus;
  std::optional<std::string> dictation;
  std::optional<std::string> message;
};

// "session.ready"; the analyzer backend names the source, the legacy one the whole session.
struct SessionReady {
  std::string sessionId;
  std::optional<AudioSource> source;
  bool available = false;
  std::string implementation;
  std::string locale;
};

// "session.stopped": written before the session's channels finish.
struct SessionStopped {
  std::string sessionId;
  double at = 0;
};

// "session.finished": the session's last event.
struct SessionFinished {
  std::string sessionId;
  double at = 0;
};

// "source.suppressed"
struct SourceSuppressed {
  std::string sessionId;
  AudioSource source = AudioSource::remote;
  bool suppressed = false;
  double at = 0;
};

// "source.waiting"
struct SourceWaiting {
  std::string sessionId;
  AudioSource source = AudioSource::remote;
  bool waiting = false;
  double at = 0;
};

// How a final's utterance was ended: the legacy path also gives its voice threshold and the
// silence that ends an utterance.
struct Endpointing {
  std::string provider;
  std::string reason;
  std::optional<double> threshold;
  std::optional<double> minSilenceMs;
};

// The part of a final that a partial does not have.
struct FinalDetails {
  double speechEndedAt = 0;
  double latencyMs = 0;
  Endpointing endpointing;
};

// "transcript.partial", or "transcript.final" when `final` is given.
struct Transcript {
  std::string sessionId;
  std::string utteranceId;
  AudioSource source = AudioSource::remote;
  std::string text;
  double startedAt = 0;
  double transcribedAt = 0;
  std::optional<FinalDetails> final;
};

// "helper.error", with the session and source only where given.
struct HelperError {
  std::string message;
  std::optional<std::string> sessionId;
  std::optional<AudioSource> source;
  double at = 0;
};

// "pong": the answer to "ping".
struct Pong {
  double sentAt = 0;
  double helperAt = 0;
};

// "helper.model": a step of "--install-assets".
struct HelperModel {
  std::string status;
  std::string locale;
};

// "helper.authorization": the answer of "--authorize".
struct HelperAuthorization {
  std::string status;
  bool authorized = false;
};

// "research.complete": the end of "--research-transcribe-file".
struct ResearchComplete {
  uint64_t vocabularyCount = 0;
};

Event encode(const HelperStatus& event);
Event encode(const SessionReady& event);
Event encode(const SessionStopped& event);
Event encode(const SessionFinished& event);
Event encode(const SourceSuppressed& event);
Event encode(const SourceWaiting& event);
Event encode(const Transcript& event);
Event encode(const HelperError& event);
Event encode(const Pong& event);
Event encode(const HelperModel& event);
Event encode(const HelperAuthorization& event);
Event encode(const ResearchComplete& event);

}  // namespace brimlow::stt
