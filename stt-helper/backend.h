#pragma once
// The interface both recognition backends implement; the choice between them is backends.h.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "platform/helper_platform.h"
#include "protocol/helper_commands.h"
#include "stt-helper/event_writer.h"
#include "stt-helper/settings.h"

namespace brimlow::stt {

// At most this many vocabulary strings reach a recognizer.
inline constexpr size_t kMaxVocabulary = 100;

struct ChannelKey {
  std::string sessionId;
  AudioSource source = AudioSource::remote;
  bool operator==(const ChannelKey&) const = default;
};

struct ChannelKeyHash {
  size_t operator()(const ChannelKey& key) const {
    return std::hash<std::string>()(key.sessionId) * 31 + static_cast<size_t>(key.source);
  }
};

struct SessionConfiguration {
  std::string locale;                   // as requested
  std::vector<std::string> vocabulary;  // the first kMaxVocabulary strings
  bool echoCancellation = true;         // of the "self" audio against the "remote" audio
};

// Every operation runs on the main queue, returns promptly and reports problems itself as
// events; none fails towards the command loop.
class SpeechBackend {
 public:
  virtual ~SpeechBackend() = default;
  virtual std::string implementationName() const = 0;
  virtual void emitStatus() = 0;
  // `echoCancellation`: whether the session's "self" audio is freed of the echo of its
  // "remote" audio (see echo/session_echo.h) once both sources send audio.
  virtual void startSession(const std::string& id, const std::string& locale,
                            const std::vector<std::string>& vocabulary,
                            bool echoCancellation = true) = 0;
  virtual void appendAudio(const std::string& sessionId, AudioSource source, int64_t sequence,
                           double capturedAt, const std::string& pcmBase64) = 0;
  virtual void setSuppressed(const std::string& sessionId, AudioSource source, bool suppressed) = 0;
  virtual void stopSession(const std::string& id) = 0;
  // The process exits as soon as this returns.
  virtual void stopAll() = 0;
};

// What a backend is built with: the process writer, the platform's services, the main queue
// (the io_context the command loop runs on) and the program's settings.
struct BackendContext {
  WriterPtr writer;
  platform::HelperPlatform platform;
  asio::io_context& mainQueue;
  Settings settings = {};
};

using BackendFactory = std::function<std::unique_ptr<SpeechBackend>(BackendContext&)>;

// Whether this system takes the current (analyzer) path rather than the legacy (recognizer)
// one: from kAnalyzerMinimumVersion on. The one test of the version, for streaming and for the
// one-shot modes alike.
bool usesAnalyzerPath(const platform::HelperPlatform& platform);

}  // namespace brimlow::stt
