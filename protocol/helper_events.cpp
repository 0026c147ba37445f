#include "protocol/helper_events.h"

namespace brimlow::stt {

Event encode(const HelperStatus& event) {
  Event out = {{"type", "helper.status"},
               {"status", event.status},
               {"available", event.available},
               {"implementation", event.implementation},
               {"authorization", event.authorization},
               {"protocolVersion", 1}};
  if (event.modelStatus) out["modelStatus"] = *event.modelStatus;
  if (event.dictation) out["dictation"] = *event.dictation;
  if (event.message) out["message"] = *event.message;
  return out;
}

Event encode(const SessionReady& event) {
  Event out = {{"type", "session.ready"},
               {"sessionId", event.sessionId},
               {"available", event.available},
               {"implementation", event.implementation},
               {"locale", event.locale}};
  if (event.source) out["source"] = toString(*event.source);
  return out;
}

Event encode(const SessionStopped& event) {
  return {{"type", "session.stopped"}, {"sessionId", event.sessionId}, {"at", event.at}};
}

Event encode(const SessionFinished& event) {
  return {{"type", "session.finished"}, {"sessionId", event.sessionId}, {"at", event.at}};
}

Event encode(const SourceSuppressed& event) {
  return {{"type", "source.suppressed"},
          {"sessionId", event.sessionId},
          {"source", toString(event.source)},
          {"suppressed", event.suppressed},
          {"at", event.at}};
}

Event encode(const SourceWaiting& event) {
  return {{"type", "source.waiting"},
          {"sessionId", event.sessionId},
          {"source", toString(event.source)},
          {"waiting", event.waiting},
          {"at", event.at}};
}

Event encode(const Transcript& event) {
  Event out = {{"type", event.final ? "transcript.final" : "transcript.partial"},
               {"sessionId", event.sessionId},
               {"utteranceId", event.utteranceId},
               {"source", toString(event.source)},
               {"text", event.text},
               {"startedAt", event.startedAt},
               {"transcribedAt", event.transcribedAt}};
  if (event.final) {
    const Endpointing& endpointing = event.final->endpointing;
    Event how = {{"provider", endpointing.provider}, {"reason", endpointing.reason}};
    if (endpointing.threshold) how["threshold"] = *endpointing.threshold;
    if (endpointing.minSilenceMs) how["minSilenceMs"] = *endpointing.minSilenceMs;
    out["speechEndedAt"] = event.final->speechEndedAt;
    out["latencyMs"] = event.final->latencyMs;
    out["endpointing"] = std::move(how);
  }
  return out;
}

Event encode(const HelperError& event) {
  Event out = {{"type", "helper.error"}, {"message", event.message}, {"at", event.at}};
  if (event.sessionId) out["sessionId"] = *event.sessionId;
  if (event.source) out["source"] = toString(*event.source);
  return out;
}

Event encode(const Pong& event) {
  return {{"type", "pong"}, {"sentAt", event.sentAt}, {"helperAt", event.helperAt}};
}

Event encode(const HelperModel& event) {
  return {{"type", "helper.model"}, {"status", event.status}, {"locale", event.locale}};
}

Event encode(const HelperAuthorization& event) {
  return {
      {"type", "helper.authorization"}, {"status", event.status}, {"authorized", event.authorized}};
}

Event encode(const ResearchComplete& event) {
  return {{"type", "research.complete"},
          {"implementation", kAnalyzerImplementation},
          {"module", "SpeechTranscriber"},
          {"vocabularyCount", event.vocabularyCount}};
}

}  // namespace brimlow::stt
