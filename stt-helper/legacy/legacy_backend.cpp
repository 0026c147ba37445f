#include "stt-helper/legacy/legacy_backend.h"

#include <algorithm>

#include "protocol/pcm_payload.h"
#include "stt-helper/locale.h"

namespace brimlow::stt {

LegacySpeechBackend::LegacySpeechBackend(BackendContext& context)
    : writer_(context.writer),
      service_(context.platform.recognizer),
      mainQueue_(context.mainQueue),
      settings_(context.settings),
      self_(std::make_shared<LegacySpeechBackend*>(this)) {}

LegacySpeechBackend::~LegacySpeechBackend() = default;

std::shared_ptr<LegacyRecognitionChannel> LegacySpeechBackend::channel(
    const ChannelKey& key) const {
  auto found = channels_.find(key);
  return found == channels_.end() ? nullptr : found->second;
}

std::string LegacySpeechBackend::statusMessage(speech::AuthorizationStatus status, bool onDevice,
                                               DictationAvailability dictation) const {
  if (status == speech::kAuthorizationNotDetermined)
    return "Run `npm run helper:authorize` once to grant Speech Recognition access.";
  if (status != speech::kAuthorizationAuthorized)
    return "Enable Speech Recognition for Brimlow in System Settings > Privacy & Security.";
  const std::string name = localeName(settings_.defaultLocale);
  if (!onDevice)
    return "The " + name + " on-device recognition model is unavailable. Enable " + name +
           " Dictation and download its model in System Settings.";
  if (dictation == DictationAvailability::disabled) return dictationSetupMessage;
  return "On-device " + name + " speech recognition is ready.";
}

// The readiness report and its setup messages are about on-device recognition in the default
// locale, whatever sessions ask for.
void LegacySpeechBackend::emitStatus() {
  const std::string& statusLocale = settings_.defaultLocale;
  auto recognizer = service_->recognizer(statusLocale);
  const speech::AuthorizationStatus status = service_->authorizationStatus();
  const bool onDevice = recognizer && recognizer->supportsOnDeviceRecognition();
  const DictationAvailability dictation = dictationAvailability(*service_, statusLocale);
  const bool ready = status == speech::kAuthorizationAuthorized && onDevice &&
                     dictation != DictationAvailability::disabled;
  HelperStatus event;
  event.status = ready ? "ready" : "setup-required";
  event.available = ready;
  event.implementation = implementationName();
  event.authorization = authorizationLabel(status);
  event.modelStatus = onDevice ? "installed" : "unavailable";
  event.dictation = toString(dictation);
  event.message = statusMessage(status, onDevice, dictation);
  writer_->write(encode(event));
}

void LegacySpeechBackend::startSession(const std::string& id, const std::string& locale,
                                       const std::vector<std::string>& vocabulary,
                                       bool echoCancellation) {
  stopSession(id);
  sessions_.open(id, locale, vocabulary, echoCancellation);
  if (echoCancellation) {
    auto echo = std::make_shared<SessionEcho>();
    std::weak_ptr<LegacySpeechBackend*> weakSelf = self_;
    const ChannelKey self{id, AudioSource::selfAudio};
    echoes_[id] = std::make_shared<SelfAudioFeed>(
        echo, mainQueue_.get_executor(),
        [weakSelf, self](const std::vector<TimedBuffer>& pieces, bool) {
          auto backend = weakSelf.lock();
          if (!backend) return;
          // The channel was made when its first chunk came; one let go of later (muted, or
          // Dictation found off) takes nothing more.
          if (auto channel = (*backend)->channel(self)) {
            for (const auto& piece : pieces) channel->append(piece.buffer, 0, piece.capturedAt);
          }
        },
        [writer = writer_, id](const std::string& message) {
          writer->error(message, id, AudioSource::selfAudio);
        });
  }

  const speech::AuthorizationStatus status = service_->authorizationStatus();
  auto recognizer = service_->recognizer(locale);
  const bool onDevice = recognizer && recognizer->supportsOnDeviceRecognition();
  const bool available =
      status == speech::kAuthorizationAuthorized && onDevice &&
      dictationAvailability(*service_, locale) != DictationAvailability::disabled;
  writer_->write(encode(SessionReady{id, std::nullopt, available, implementationName(), locale}));
  if (!available) emitStatus();
}

void LegacySpeechBackend::appendAudio(const std::string& sessionId, AudioSource source,
                                      int64_t sequence, double capturedAt,
                                      const std::string& pcmBase64) {
  const SessionConfiguration* session = sessions_.find(sessionId);
  if (!session) {
    writer_->error("Audio received before session.start", sessionId, source);
    return;
  }
  const ChannelKey key{sessionId, source};
  auto echo = echoes_.find(sessionId);
  SelfAudioFeed* feed = echo == echoes_.end() ? nullptr : echo->second.get();
  if (sessions_.isSuppressed(key)) {
    // Muted "remote" audio still plays: the "self" audio keeps its reference.
    if (feed && source == AudioSource::remote) {
      if (auto buffer = makePCMBuffer(pcmBase64)) feed->addReference(*buffer.value(), capturedAt);
    }
    return;
  }

  if (cachedDictationVerdict() == DictationAvailability::disabled) {
    if (dictationAvailability(*service_, session->locale) == DictationAvailability::disabled) {
      reportDictationDisabled(key);
      return;
    }
    dictationNoticeSent_.erase(key);
    emitStatus();
  }

  auto buffer = makePCMBuffer(pcmBase64);
  if (!buffer) {
    writer_->error(describe(buffer.error()), sessionId, source);
    return;
  }

  auto found = channels_.find(key);
  if (found == channels_.end()) {
    std::weak_ptr<LegacySpeechBackend*> weakSelf = self_;
    // The callback names its channel, so that a late report of a channel that was already
    // replaced never discards its successor.
    auto channelSlot = std::make_shared<const LegacyRecognitionChannel*>(nullptr);
    auto created = LegacyRecognitionChannel::create(
        sessionId, source, session->locale, session->vocabulary, writer_,
        [weakSelf, key, channelSlot] {
          if (auto self = weakSelf.lock()) (*self)->handleDictationDisabled(key, *channelSlot);
        },
        *service_, mainQueue_, settings_.debugLog);
    if (!created) {
      writer_->error(created.error().description, sessionId, source);
      return;
    }
    *channelSlot = created->get();
    found = channels_.emplace(key, std::move(created.value())).first;
  }
  if (!feed) return found->second->append(std::move(buffer.value()), sequence, capturedAt);
  if (source == AudioSource::selfAudio) return feed->append(buffer.value(), capturedAt);
  feed->addReference(*buffer.value(), capturedAt);
  found->second->append(std::move(buffer.value()), sequence, capturedAt);
}

void LegacySpeechBackend::reportDictationDisabled(const ChannelKey& key) {
  if (!dictationNoticeSent_.insert(key).second) return;
  writer_->error(dictationSetupMessage, key.sessionId, key.source);
  emitStatus();
}

void LegacySpeechBackend::handleDictationDisabled(const ChannelKey& key,
                                                  const LegacyRecognitionChannel* channel) {
  recordDictationDisabled();
  // Discarded without finishing or cancelling: what its task still delivers is ignored.
  auto found = channels_.find(key);
  if (found != channels_.end() && found->second.get() == channel) channels_.erase(found);
  reportDictationDisabled(key);
}

void LegacySpeechBackend::setSuppressed(const std::string& sessionId, AudioSource source,
                                        bool suppressed) {
  const ChannelKey key{sessionId, source};
  if (!suppressed) {
    sessions_.unsuppress(key);
  } else {
    sessions_.suppress(key);
    auto found = channels_.find(key);
    if (found != channels_.end()) {
      auto channel = std::move(found->second);
      channels_.erase(found);
      channel->cancel();
      if (auto echo = echoes_.find(sessionId);
          echo != echoes_.end() && source == AudioSource::selfAudio)
        echo->second->reset();
    }
  }
  writer_->write(encode(SourceSuppressed{sessionId, source, suppressed, nowMilliseconds()}));
}

void LegacySpeechBackend::stopSession(const std::string& id) {
  const bool existed = sessions_.close(id);
  // What waited for its reference goes to the "self" channel before it finishes.
  if (auto echo = echoes_.find(id); echo != echoes_.end()) {
    echo->second->flush();
    echoes_.erase(echo);
  }
  std::erase_if(dictationNoticeSent_, [&](const ChannelKey& key) { return key.sessionId == id; });
  std::vector<std::shared_ptr<LegacyRecognitionChannel>> stopping;
  for (auto it = channels_.begin(); it != channels_.end();) {
    if (it->first.sessionId == id) {
      stopping.push_back(std::move(it->second));
      it = channels_.erase(it);
    } else {
      ++it;
    }
  }
  if (!existed && stopping.empty()) return;
  for (auto& channel : stopping) channel->finish();
  writer_->write(encode(SessionStopped{id, nowMilliseconds()}));
  // The channels wrote their last finals while finishing, and their tasks' later calls are
  // ignored: nothing of this session comes any more.
  writer_->write(encode(SessionFinished{id, nowMilliseconds()}));
}

void LegacySpeechBackend::stopAll() {
  for (auto& [id, feed] : echoes_) feed->flush();
  echoes_.clear();
  auto channels = std::move(channels_);
  channels_.clear();
  for (auto& [key, channel] : channels) channel->finish();
  sessions_.clear();
  dictationNoticeSent_.clear();
}

std::unique_ptr<SpeechBackend> makeLegacyBackend(BackendContext& context) {
  return std::make_unique<LegacySpeechBackend>(context);
}

}  // namespace brimlow::stt
