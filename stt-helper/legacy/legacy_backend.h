#pragma once
// The backend on the recognizer service (systems before the analyzer): sessions, one channel
// per (session, source) made on its first chunk, muted sources, and the Dictation switch.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "stt-helper/backend.h"
#include "stt-helper/echo/self_feed.h"
#include "stt-helper/legacy/dictation_probe.h"
#include "stt-helper/legacy/legacy_channel.h"
#include "stt-helper/sessions.h"

namespace brimlow::stt {

class LegacySpeechBackend final : public SpeechBackend {
 public:
  explicit LegacySpeechBackend(BackendContext& context);
  ~LegacySpeechBackend() override;

  std::string implementationName() const override { return kLegacyImplementation; }
  void emitStatus() override;
  void startSession(const std::string& id, const std::string& locale,
                    const std::vector<std::string>& vocabulary,
                    bool echoCancellation = true) override;
  void appendAudio(const std::string& sessionId, AudioSource source, int64_t sequence,
                   double capturedAt, const std::string& pcmBase64) override;
  void setSuppressed(const std::string& sessionId, AudioSource source, bool suppressed) override;
  void stopSession(const std::string& id) override;
  void stopAll() override;

  // What tests look at.
  std::shared_ptr<LegacyRecognitionChannel> channel(const ChannelKey& key) const;
  size_t channelCount() const { return channels_.size(); }

 private:
  std::string statusMessage(speech::AuthorizationStatus status, bool onDevice,
                            DictationAvailability dictation) const;
  void reportDictationDisabled(const ChannelKey& key);
  void handleDictationDisabled(const ChannelKey& key, const LegacyRecognitionChannel* channel);

  WriterPtr writer_;
  std::shared_ptr<speech::RecognizerService> service_;
  asio::io_context& mainQueue_;
  const Settings settings_;
  SessionTable sessions_;
  std::unordered_map<ChannelKey, std::shared_ptr<LegacyRecognitionChannel>, ChannelKeyHash>
      channels_;
  std::unordered_set<ChannelKey, ChannelKeyHash> dictationNoticeSent_;
  // Sessions with echo cancellation: their "self" audio goes through here first.
  std::unordered_map<std::string, std::shared_ptr<SelfAudioFeed>> echoes_;
  // Channels' Dictation callbacks hold this weakly: a callback that outlives the backend does
  // nothing.
  std::shared_ptr<LegacySpeechBackend*> self_;
};

std::unique_ptr<SpeechBackend> makeLegacyBackend(BackendContext& context);

}  // namespace brimlow::stt
