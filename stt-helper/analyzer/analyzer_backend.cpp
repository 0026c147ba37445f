#include "stt-helper/analyzer/analyzer_backend.h"

#include <atomic>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include "protocol/pcm_payload.h"
#include "stt-helper/analyzer/analyzer_channel.h"
#include "stt-helper/echo/self_feed.h"
#include "stt-helper/locale.h"
#include "stt-helper/sessions.h"

namespace brimlow::stt {

namespace {

constexpr const char* kImplementation = kAnalyzerImplementation;
// Creation and finishing block a worker on the engine; a few threads keep one slow channel from
// holding up the others.
constexpr size_t kWorkerThreads = 4;

// One key's channel as it is being built and then runs. Everything for the key (creation, each
// chunk, finish or cancel, and the channel's results) runs on `strand` in the order it was
// posted, so a chunk posted after creation finds the creation's outcome, and chunks reach the
// channel in the order of the "audio" commands.
struct ChannelSlot {
  explicit ChannelSlot(asio::any_io_executor executor) : strand(std::move(executor)) {}
  asio::any_io_executor strand;
  // Set on the strand by the creation work; read only on the strand.
  std::shared_ptr<SpeechAnalyzerChannel> channel;
  std::optional<speech::SpeechError> creationError;
  // The "self" slot of a session with echo cancellation: its audio goes through here first,
  // on the session's echo strand. Set before the slot is shared, read only.
  std::shared_ptr<SelfAudioFeed> feed;
};
using SlotPtr = std::shared_ptr<ChannelSlot>;

// A session with echo cancellation. Both sources' chunks are decoded and handed to the echo
// processing on one strand of the session's own, in the order of the commands, so that each
// "self" chunk finds the "remote" audio relayed before it; then each goes on to its channel's
// strand. The echo work never waits behind a channel that is still being built, and whatever
// follows a session's audio (finishing, cancelling) goes the same way, so it comes after it.
struct EchoPath {
  std::shared_ptr<SessionEcho> echo;
  asio::any_io_executor strand;
};

void reportInputFailure(JSONLineWriter& writer, const ChannelKey& key,
                        const std::string& description) {
  writer.error("SpeechAnalyzer input failed: " + description, key.sessionId, key.source);
}

// A chunk's samples, or nothing after reporting why the payload cannot be used.
audio::PcmBufferPtr decodeChunk(const std::string& pcmBase64, JSONLineWriter& writer,
                                const ChannelKey& key) {
  auto buffer = makePCMBuffer(pcmBase64);
  if (buffer) return buffer.value();
  reportInputFailure(writer, key, describe(buffer.error()));
  return nullptr;
}

// Hands audio to the key's channel, on the slot's strand. A chunk whose channel could not be
// built reports that, once per chunk; audio held back and let go later goes nowhere then.
void deliverToChannel(ChannelSlot& slot, JSONLineWriter& writer, const ChannelKey& key,
                      const std::vector<TimedBuffer>& pieces, bool ofChunk) {
  if (!slot.channel) {
    if (ofChunk) reportInputFailure(writer, key, slot.creationError->description);
    return;
  }
  for (const auto& piece : pieces) {
    if (auto error = slot.channel->append(piece.buffer, piece.capturedAt))
      reportInputFailure(writer, key, error->description());
  }
}

// Writes "session.finished" once every channel of a stopped session has written its last event.
// Each channel counts down on its own strand, after all it still had to do there, and so does
// the stop itself; nothing is written once the helper is stopping everything.
class SessionEnd {
 public:
  SessionEnd(std::string sessionId, size_t count, WriterPtr writer,
             std::shared_ptr<const std::atomic<bool>> stoppingAll)
      : sessionId_(std::move(sessionId)),
        remaining_(count),
        writer_(std::move(writer)),
        stoppingAll_(std::move(stoppingAll)) {}

  void countDown() {
    if (remaining_.fetch_sub(1) != 1 || *stoppingAll_) return;
    writer_->write(encode(SessionFinished{sessionId_, nowMilliseconds()}));
  }

 private:
  const std::string sessionId_;
  std::atomic<size_t> remaining_;
  const WriterPtr writer_;
  const std::shared_ptr<const std::atomic<bool>> stoppingAll_;
};

class SpeechAnalyzerBackend final : public SpeechBackend {
 public:
  explicit SpeechAnalyzerBackend(BackendContext& context)
      : writer_(context.writer),
        analysis_(context.platform.analysis),
        defaultLocale_(context.settings.defaultLocale) {}

  // Cancels what still runs and waits for the workers, so nothing outlives the backend.
  ~SpeechAnalyzerBackend() override {
    stopAll();
    pool_.join();
  }

  std::string implementationName() const override { return kImplementation; }

  void emitStatus() override {
    HelperStatus checking;
    checking.status = analysis_->transcriberIsAvailable() ? "checking-model" : "unavailable";
    checking.implementation = kImplementation;
    checking.authorization = "not-required";
    writer_->write(encode(checking));
    // The model check concerns the default locale, whatever sessions ask for later.
    asio::post(pool_, [analysis = analysis_, writer = writer_, requested = defaultLocale_] {
      const std::string name = localeName(requested);
      auto locale = analysis->supportedLocale(requested);
      if (!locale) {
        writer->error("SpeechAnalyzer does not support " + name + " on this Mac", {}, {});
        return;
      }
      auto transcriber = analysis->makeTranscriber(*locale);
      speech::AssetStatus status =
          transcriber ? analysis->assetStatus(*transcriber) : speech::AssetStatus::unsupported;
      const bool installed = status == speech::AssetStatus::installed;
      HelperStatus checked;
      checked.status = installed ? "ready" : "setup-required";
      checked.available = installed;
      checked.implementation = kImplementation;
      checked.authorization = "not-required";
      checked.modelStatus = speech::assetStatusName(status);
      checked.message = installed ? "On-device " + name + " SpeechAnalyzer model is ready."
                                  : "Run `npm run helper:install-model` while online, then retry.";
      writer->write(encode(checked));
    });
  }

  void startSession(const std::string& id, const std::string& locale,
                    const std::vector<std::string>& vocabulary, bool echoCancellation) override {
    stopSession(id);
    const SessionConfiguration& configuration =
        sessions_.open(id, locale, vocabulary, echoCancellation);
    if (echoCancellation)
      echoes_[id] = EchoPath{std::make_shared<SessionEcho>(), asio::make_strand(pool_)};
    for (AudioSource source : kAllAudioSources) createChannel(id, source, configuration);
  }

  void appendAudio(const std::string& sessionId, AudioSource source, int64_t, double capturedAt,
                   const std::string& pcmBase64) override {
    ChannelKey key{sessionId, source};
    SlotPtr slot = sessions_.isSuppressed(key) ? nullptr : slotOf(key);
    auto echo = echoes_.find(sessionId);
    if (echo == echoes_.end()) {
      if (!slot) return;
      asio::post(slot->strand, [slot, writer = writer_, key, capturedAt, pcmBase64] {
        if (auto buffer = decodeChunk(pcmBase64, *writer, key))
          deliverToChannel(*slot, *writer, key, {{buffer, capturedAt}}, true);
      });
      return;
    }
    // The "remote" audio is the reference of the "self" audio whether or not it is
    // transcribed itself.
    SlotPtr self = slotOf(ChannelKey{sessionId, AudioSource::selfAudio});
    std::shared_ptr<SelfAudioFeed> feed = self ? self->feed : nullptr;
    if (!slot && (source == AudioSource::selfAudio || !feed)) return;
    asio::post(echo->second.strand, [slot, feed, writer = writer_, key, capturedAt, pcmBase64] {
      auto buffer = decodeChunk(pcmBase64, *writer, key);
      if (!buffer) return;
      if (key.source == AudioSource::selfAudio) return feed->append(buffer, capturedAt);
      if (feed) feed->addReference(*buffer, capturedAt);
      if (!slot) return;
      asio::post(slot->strand, [slot, writer, key, piece = TimedBuffer{buffer, capturedAt}] {
        deliverToChannel(*slot, *writer, key, {piece}, true);
      });
    });
  }

  void setSuppressed(const std::string& sessionId, AudioSource source, bool suppressed) override {
    ChannelKey key{sessionId, source};
    if (suppressed) {
      sessions_.suppress(key);
      auto found = channels_.find(key);
      if (found != channels_.end()) {
        cancelSlot(key, found->second);
        // Until its cancellation has run, the channel may still write events of the session.
        std::erase_if(cancelled_, [](const auto& entry) { return entry.second.expired(); });
        cancelled_.emplace(sessionId, found->second);
        channels_.erase(found);
      }
    } else if (sessions_.unsuppress(key)) {
      if (const SessionConfiguration* session = sessions_.find(sessionId))
        createChannel(sessionId, source, *session);
    }
    writer_->write(encode(SourceSuppressed{sessionId, source, suppressed, nowMilliseconds()}));
  }

  void stopSession(const std::string& id) override {
    const bool wasOpen = sessions_.close(id);
    std::vector<SlotPtr> finishing;
    for (AudioSource source : kAllAudioSources) {
      ChannelKey key{id, source};
      auto found = channels_.find(key);
      if (found != channels_.end()) {
        finishing.push_back(found->second);
        channels_.erase(found);
      }
    }
    std::vector<SlotPtr> cancelled;
    auto [from, to] = cancelled_.equal_range(id);
    for (auto it = from; it != to; ++it)
      if (SlotPtr slot = it->second.lock()) cancelled.push_back(std::move(slot));
    cancelled_.erase(from, to);
    if (!wasOpen && finishing.empty()) return;
    // Written before the finishing starts, so the channels' last finals always follow it.
    writer_->write(encode(SessionStopped{id, nowMilliseconds()}));
    auto end = std::make_shared<SessionEnd>(id, finishing.size() + cancelled.size() + 1, writer_,
                                            stoppingAll_);
    for (const SlotPtr& slot : finishing) {
      afterEcho(id, [slot, end] {
        // What waited for its reference goes in first.
        if (slot->feed) slot->feed->flush();
        // The slot stays alive until the channel's last result was written.
        asio::post(slot->strand, [slot, end] {
          if (!slot->channel) return end->countDown();
          slot->channel->finish(
              [slot, end](std::optional<speech::SpeechError>) { end->countDown(); });
        });
      });
    }
    // A cancelled channel's last events come after its cancellation, which goes the same way.
    for (const SlotPtr& slot : cancelled)
      afterEcho(id, [slot, end] { asio::post(slot->strand, [end] { end->countDown(); }); });
    echoes_.erase(id);
    end->countDown();
  }

  void stopAll() override {
    *stoppingAll_ = true;
    for (auto& [key, slot] : channels_) cancelSlot(key, slot);
    channels_.clear();
    sessions_.clear();
    cancelled_.clear();
    echoes_.clear();
  }

 private:
  void createChannel(const std::string& sessionId, AudioSource source,
                     const SessionConfiguration& configuration) {
    auto slot = std::make_shared<ChannelSlot>(asio::make_strand(pool_));
    channels_[ChannelKey{sessionId, source}] = slot;
    if (auto echo = echoes_.find(sessionId);
        echo != echoes_.end() && source == AudioSource::selfAudio) {
      // Runs on the session's echo strand; the slot holds the feed, so the feed holds the slot
      // only weakly.
      std::weak_ptr<ChannelSlot> owner = slot;
      const ChannelKey key{sessionId, source};
      auto writer = writer_;
      slot->feed = std::make_shared<SelfAudioFeed>(
          echo->second.echo, echo->second.strand,
          [owner, writer, key](const std::vector<TimedBuffer>& pieces, bool ofChunk) {
            auto slot = owner.lock();
            if (!slot) return;
            asio::post(slot->strand, [slot, writer, key, pieces, ofChunk] {
              deliverToChannel(*slot, *writer, key, pieces, ofChunk);
            });
          },
          [writer, key](const std::string& message) {
            writer->error(message, key.sessionId, key.source);
          });
    }
    asio::post(slot->strand, [slot, analysis = analysis_, writer = writer_, sessionId, source,
                              configuration] {
      auto created =
          SpeechAnalyzerChannel::create(*analysis, slot->strand, sessionId, source,
                                        configuration.locale, configuration.vocabulary, writer);
      if (!created) {
        slot->creationError = created.error();
        return;
      }
      slot->channel = std::move(created.value());
      writer->write(
          encode(SessionReady{sessionId, source, true, kImplementation, configuration.locale}));
    });
  }

  void cancelSlot(const ChannelKey& key, const SlotPtr& slot) {
    afterEcho(key.sessionId, [slot] {
      if (slot->feed) slot->feed->reset();
      asio::post(slot->strand, [slot] {
        if (slot->channel) slot->channel->cancel();
      });
    });
  }

  // Runs `work` after what the session's echo strand holds, or now without one.
  void afterEcho(const std::string& sessionId, std::function<void()> work) {
    auto echo = echoes_.find(sessionId);
    if (echo == echoes_.end()) return work();
    asio::post(echo->second.strand, std::move(work));
  }

  SlotPtr slotOf(const ChannelKey& key) const {
    auto found = channels_.find(key);
    return found == channels_.end() ? nullptr : found->second;
  }

  // Declared first so that it is destroyed last: queued work holds slots and channels.
  asio::thread_pool pool_{kWorkerThreads};
  WriterPtr writer_;
  std::shared_ptr<speech::AnalysisService> analysis_;
  const std::string defaultLocale_;
  SessionTable sessions_;
  std::unordered_map<ChannelKey, SlotPtr, ChannelKeyHash> channels_;
  std::map<std::string, EchoPath> echoes_;  // sessions with echo cancellation
  // Channels of open sessions cancelled by a suppression, by session id, while their
  // cancellation may still be on its way.
  std::unordered_multimap<std::string, std::weak_ptr<ChannelSlot>> cancelled_;
  std::shared_ptr<std::atomic<bool>> stoppingAll_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

std::unique_ptr<SpeechBackend> makeSpeechAnalyzerBackend(BackendContext& context) {
  return std::make_unique<SpeechAnalyzerBackend>(context);
}

}  // namespace brimlow::stt
