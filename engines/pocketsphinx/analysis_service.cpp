// The analysis service on PocketSphinx: the decoder's voice activity detection decides where
// utterances end.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "engines/pocketsphinx/decoder.h"
#include "engines/pocketsphinx/decoder_gate.h"
#include "engines/pocketsphinx/decoder_pool.h"
#include "engines/pocketsphinx/models.h"
#include "engines/pocketsphinx/services.h"
#include "engines/pocketsphinx/spelling.h"

namespace brimlow::pocketsphinx {
namespace {

using speech::AnalysisResult;
using speech::AnalyzerResultSink;
using speech::SpeechError;

class Transcriber final : public speech::SpeechTranscriber {
 public:
  explicit Transcriber(std::string locale) : locale_(std::move(locale)) {}
  std::string localeIdentifier() const override { return locale_; }

 private:
  std::string locale_;
};

class InstallationRequest final : public speech::AssetInstallationRequest {
 public:
  explicit InstallationRequest(std::string locale) : locale_(std::move(locale)) {}
  // Nothing can be downloaded here; the model may have been installed by hand meanwhile.
  std::optional<SpeechError> downloadAndInstall() override {
    if (findModel(locale_)) return std::nullopt;
    return SpeechError{kErrorDomain, kSphinxInstallationUnavailableCode,
                       "The PocketSphinx model for " + locale_ +
                           " cannot be downloaded on this system; " + installationAdvice(locale_)};
  }

 private:
  std::string locale_;
};

// The state shared by an analyzer and its worker thread.
struct AnalyzerState {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<audio::PcmBufferPtr> queue;
  bool inputEnded = false;
  bool finalizeRequested = false;
  std::atomic<bool> cancelRequested = false;
  bool ended = false;
  std::optional<SpeechError> endError;
  std::vector<speech::SpeechAnalyzer::FinishHandler> finishWaiters;  // told once results ended
  std::thread::id workerId;

  std::shared_ptr<DecoderPool> pool;
  std::shared_ptr<DecoderGate> gate;
  std::chrono::milliseconds idleRelease{};
  // The worker's own, with a place in the gate, while the input has audio for it.
  std::unique_ptr<Decoder> decoder;
  std::vector<std::string> vocabulary;
  AnalyzerResultSink sink;
  audio::AudioFormat format;
};

// One utterance as the decoder's voice activity detection delimits it.
struct Utterance {
  bool inSpeech = false;
  std::optional<double> startSeconds;  // fixed by the first result, shared by all its results
  std::string lastText;
};

class Worker {
 public:
  static constexpr uint32_t kPieceFrames = 4000;  // 250 ms

  explicit Worker(std::shared_ptr<AnalyzerState> state) : state_(std::move(state)) {}

  void run() {
    std::optional<SpeechError> error;
    std::vector<audio::PcmBufferPtr> batch;
    while (!error) {
      bool finalize = false;
      {
        std::unique_lock lock(state_->mutex);
        auto hasWork = [&] {
          return !state_->queue.empty() || state_->finalizeRequested || state_->cancelRequested;
        };
        if (state_->decoder && !utterance_.inSpeech) {
          if (!state_->changed.wait_for(lock, state_->idleRelease, hasWork)) {
            lock.unlock();
            error = giveDecoderBack();
            continue;
          }
        } else {
          state_->changed.wait(lock, hasWork);
        }
        if (state_->cancelRequested) break;
        if (state_->queue.empty()) {
          finalize = true;
        } else {
          batch.assign(std::make_move_iterator(state_->queue.begin()),
                       std::make_move_iterator(state_->queue.end()));
          state_->queue.clear();
        }
      }
      if (finalize) {
        if (state_->decoder) error = endUtterance(false);
        break;
      }
      if (!state_->decoder) {
        error = takeDecoder();
        if (error || !state_->decoder) break;  // failed, or cancelled while waiting
      }
      for (const auto& buffer : batch) {
        if (state_->cancelRequested || error) break;
        error = process(*buffer);
      }
      batch.clear();
    }
    if (state_->cancelRequested) error = speech::cancellationError();
    finish(error);
  }

 private:
  // A place in the gate, waiting in turn when every one is taken, then a decoder on a fresh
  // stream: its word times count from where the input stands now.
  std::optional<SpeechError> takeDecoder() {
    DecoderGate& gate = *state_->gate;
    if (!gate.tryEnter()) {
      notifyWaiting(true);
      if (!gate.enter(state_->cancelRequested)) return std::nullopt;
      notifyWaiting(false);
    }
    auto decoder = state_->pool->acquire(state_->vocabulary);
    if (!decoder) {
      gate.leave();
      return decoder.error();
    }
    state_->decoder = std::move(*decoder);
    streamStartSeconds_ = inputSeconds_;
    if (!state_->decoder->startStream() || !state_->decoder->startUtterance())
      return failure("start decoding");
    return std::nullopt;
  }

  // The input has run dry: the decoder and its place serve others until audio comes again.
  std::optional<SpeechError> giveDecoderBack() {
    auto error = endUtterance(false);
    state_->pool->release(std::move(state_->decoder));
    state_->gate->leave();
    return error;
  }

  void notifyWaiting(bool waiting) {
    if (state_->sink.onWaiting) state_->sink.onWaiting(waiting);
  }

  SpeechError failure(const std::string& what) const {
    return decodingFailure(what, *state_->decoder);
  }

  std::optional<SpeechError> process(const audio::PcmBuffer& buffer) {
    const int16_t* samples = buffer.int16ChannelData(0);
    if (buffer.format() != state_->format || !samples)
      return SpeechError{kErrorDomain, kSphinxUnsupportedFormatCode,
                         "Audio in " + buffer.format().toString() +
                             " does not match the prepared format " + state_->format.toString()};
    // Large buffers go in pieces, so that no end of speech slips by between two looks.
    const uint32_t frames = buffer.frameLength();
    for (uint32_t offset = 0; offset < frames; offset += kPieceFrames) {
      if (state_->cancelRequested) return std::nullopt;
      const uint32_t count = std::min(kPieceFrames, frames - offset);
      if (auto error = processPiece(samples + offset, count)) return error;
      inputSeconds_ += count / state_->format.sampleRate;
    }
    return std::nullopt;
  }

  std::optional<SpeechError> processPiece(const int16_t* samples, uint32_t count) {
    Decoder& decoder = *state_->decoder;
    if (!decoder.process(samples, count)) return failure("decode audio");
    const bool inSpeech = decoder.inSpeech();
    if (utterance_.inSpeech && !inSpeech) return endUtterance(true);
    utterance_.inSpeech = inSpeech;
    if (!inSpeech) return std::nullopt;  // nothing heard yet in this utterance
    auto words = decoder.words();
    std::string text = joinWords(words);
    if (text.empty() || text == utterance_.lastText) return std::nullopt;
    deliver(words, text, false);
    return std::nullopt;
  }

  // Ends the open utterance, delivers its final result and, with `reopen`, opens the next one.
  std::optional<SpeechError> endUtterance(bool reopen) {
    Decoder& decoder = *state_->decoder;
    if (!decoder.endUtterance()) return failure("end an utterance");
    auto words = decoder.words();
    if (!words.empty()) deliver(words, joinWords(words), true);
    utterance_ = Utterance{};
    if (reopen && !decoder.startUtterance()) return failure("start an utterance");
    return std::nullopt;
  }

  void deliver(const std::vector<Word>& words, const std::string& text, bool isFinal) {
    // Every result of one utterance starts where its first result started, so that consumers
    // can tell results of the same utterance by their start.
    if (!utterance_.startSeconds)
      utterance_.startSeconds = streamStartSeconds_ + words.front().startSeconds;
    const double start = *utterance_.startSeconds;
    const double end = std::max(start, streamStartSeconds_ + words.back().endSeconds);
    utterance_.lastText = text;
    if (state_->sink.onResult)
      state_->sink.onResult(
          AnalysisResult{spellTranscript(text, state_->decoder->vocabulary(), isFinal), start,
                         end - start, isFinal});
  }

  void finish(const std::optional<SpeechError>& error) {
    // A finished decoder goes back to the pool before the results end, so that the next
    // analyzer finds it; one still inside an utterance (cancelled) is ended afterwards, because
    // ending an utterance takes up to a few hundred milliseconds.
    const bool heldPlace = state_->decoder != nullptr;
    const bool releaseFirst = !state_->decoder || !state_->decoder->inUtterance();
    if (releaseFirst) state_->pool->release(std::move(state_->decoder));
    {
      std::lock_guard lock(state_->mutex);
      state_->queue.clear();
      state_->inputEnded = true;
      state_->endError = error;
    }
    if (state_->sink.onEnd) state_->sink.onEnd(error);
    std::vector<speech::SpeechAnalyzer::FinishHandler> waiters;
    {
      std::lock_guard lock(state_->mutex);
      state_->ended = true;
      waiters.swap(state_->finishWaiters);
    }
    state_->changed.notify_all();
    if (!releaseFirst) state_->pool->release(std::move(state_->decoder));
    if (heldPlace) state_->gate->leave();
    for (auto& waiter : waiters) waiter(error);
  }

  std::shared_ptr<AnalyzerState> state_;
  Utterance utterance_;
  // Seconds of input decoded so far, and where the current decoder's stream began on them.
  double inputSeconds_ = 0;
  double streamStartSeconds_ = 0;
};

class Analyzer final : public speech::SpeechAnalyzer {
 public:
  explicit Analyzer(std::shared_ptr<AnalyzerState> state) : state_(std::move(state)) {
    worker_ = std::thread([state = state_] { Worker(state).run(); });
    std::lock_guard lock(state_->mutex);
    state_->workerId = worker_.get_id();
  }

  ~Analyzer() override {
    stop(false);
    // The sink may hold the last reference and release it on the worker thread.
    if (worker_.get_id() == std::this_thread::get_id())
      worker_.detach();
    else
      worker_.join();
  }

  void append(audio::PcmBufferPtr buffer) override {
    if (!buffer) return;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->inputEnded) return;
      state_->queue.push_back(std::move(buffer));
    }
    state_->changed.notify_all();
  }

  void endInput() override {
    std::lock_guard lock(state_->mutex);
    state_->inputEnded = true;
  }

  void finalizeAndFinish(FinishHandler done) override {
    std::unique_lock lock(state_->mutex);
    if (state_->ended) {
      auto error = state_->endError;
      lock.unlock();
      done(error);
      return;
    }
    state_->inputEnded = true;
    state_->finalizeRequested = true;
    state_->finishWaiters.push_back(std::move(done));
    state_->changed.notify_all();
  }

  void cancelAndFinishNow() override { stop(true); }

 private:
  // Cancels, then waits for the results to end unless called from the worker itself.
  void stop(bool wait) {
    std::unique_lock lock(state_->mutex);
    if (state_->ended) return;
    state_->cancelRequested = true;
    state_->inputEnded = true;
    state_->queue.clear();
    state_->changed.notify_all();
    state_->gate->poke();
    if (wait && state_->workerId != std::this_thread::get_id())
      state_->changed.wait(lock, [&] { return state_->ended; });
  }

  std::shared_ptr<AnalyzerState> state_;
  std::thread worker_;
};

class AnalysisService final : public speech::AnalysisService {
 public:
  explicit AnalysisService(AnalysisSettings settings) : settings_(std::move(settings)) {}

  bool transcriberIsAvailable() override { return true; }

  std::optional<std::string> supportedLocale(const std::string& identifier) override {
    return pocketsphinx::supportedLocale(identifier);
  }

  std::shared_ptr<speech::SpeechTranscriber> makeTranscriber(const std::string& locale) override {
    auto canonical = pocketsphinx::supportedLocale(locale);
    if (!canonical) return nullptr;
    return std::make_shared<Transcriber>(*canonical);
  }

  speech::AssetStatus assetStatus(const speech::SpeechTranscriber& transcriber) override {
    const std::string locale = transcriber.localeIdentifier();
    if (findModel(locale)) return speech::AssetStatus::installed;
    if (pocketsphinx::supportedLocale(locale)) return speech::AssetStatus::supported;
    return speech::AssetStatus::unsupported;
  }

  Expected<std::shared_ptr<speech::AssetInstallationRequest>, SpeechError> assetInstallationRequest(
      const speech::SpeechTranscriber& transcriber) override {
    const std::string locale = transcriber.localeIdentifier();
    if (findModel(locale)) return std::shared_ptr<speech::AssetInstallationRequest>();
    if (!pocketsphinx::supportedLocale(locale))
      return unexpected(SpeechError{kErrorDomain, kSphinxUnsupportedLocaleCode,
                                    "PocketSphinx has no model for " + locale});
    return std::shared_ptr<speech::AssetInstallationRequest>(
        std::make_shared<InstallationRequest>(locale));
  }

  std::optional<audio::AudioFormat> bestAvailableAudioFormat(
      const speech::SpeechTranscriber&) override {
    // What the acoustic models are trained on, so buffers need no conversion here.
    return audio::pcm16Mono16k();
  }

  Expected<std::shared_ptr<speech::SpeechAnalyzer>, SpeechError> makeAnalyzer(
      std::shared_ptr<speech::SpeechTranscriber> transcriber,
      const speech::AnalysisContext& context, const audio::AudioFormat& format,
      AnalyzerResultSink sink) override {
    if (!transcriber)
      return unexpected(SpeechError{kErrorDomain, kSphinxUnsupportedLocaleCode, "No transcriber"});
    if (format != audio::pcm16Mono16k())
      return unexpected(SpeechError{kErrorDomain, kSphinxUnsupportedFormatCode,
                                    "PocketSphinx analyzes " + audio::pcm16Mono16k().toString() +
                                        " audio, not " + format.toString()});
    auto pool = DecoderPool::forLocale(transcriber->localeIdentifier());
    // The decoder is loaded when audio comes; a missing model is reported now all the same.
    if (!findModel(pool->locale()))
      return unexpected(
          SpeechError{kErrorDomain, kSphinxModelNotInstalledCode,
                      "The PocketSphinx model for " + pool->locale() + " is not installed"});
    auto state = std::make_shared<AnalyzerState>();
    state->vocabulary = context.generalContextualStrings;
    state->pool = std::move(pool);
    state->gate = settings_.gate;
    state->idleRelease = settings_.idleRelease;
    state->sink = std::move(sink);
    state->format = format;
    try {
      return std::shared_ptr<speech::SpeechAnalyzer>(std::make_shared<Analyzer>(state));
    } catch (const std::system_error& e) {
      return unexpected(SpeechError{kErrorDomain, kSphinxDecodingFailedCode,
                                    std::string("No analysis thread: ") + e.what()});
    }
  }

 private:
  const AnalysisSettings settings_;
};

}  // namespace

std::shared_ptr<speech::AnalysisService> makeAnalysisService(AnalysisSettings settings) {
  silenceEngineLogging();
  limitAllocatorArenas();
  if (!settings.gate) settings.gate = std::make_shared<DecoderGate>(machineDecoderLimit());
  return std::make_shared<AnalysisService>(std::move(settings));
}

}  // namespace brimlow::pocketsphinx
