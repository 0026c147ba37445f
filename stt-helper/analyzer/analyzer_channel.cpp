#include "stt-helper/analyzer/analyzer_channel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include <asio/post.hpp>

#include "stt-helper/text.h"

namespace brimlow::stt {

std::string makeEpoch() {
  // The first group of a version-4 UUID is 32 random bits.
  std::random_device random;
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(random()));
  return text;
}

std::optional<Event> makeTranscriptEvent(const speech::AnalysisResult& result,
                                         const std::string& sessionId, AudioSource source,
                                         const std::string& epoch,
                                         std::optional<double> baseCapturedAt,
                                         double transcribedAt) {
  std::string text = trimWhitespaceAndNewlines(result.text);
  if (text.empty()) return std::nullopt;
  const double startSec = result.rangeStartSeconds;
  const double endSec = result.rangeStartSeconds + result.rangeDurationSeconds;
  const double base = baseCapturedAt.value_or(transcribedAt);
  const double startOffsetMs = std::max(0.0, startSec) * 1000.0;
  const double startedAt = base + startOffsetMs;

  // "%.0f" of the truncated value: the whole number without an integer conversion that could
  // overflow on a nonsensical range.
  char startPart[64];
  std::snprintf(startPart, sizeof startPart, "%.0f", std::trunc(startOffsetMs));
  std::string utteranceId =
      sessionId + "-" + toString(source) + "-" + epoch + "-" + std::string(startPart);

  Transcript event{sessionId, utteranceId, source, text, startedAt, transcribedAt, std::nullopt};
  if (result.isFinal) {
    const double speechEndedAt = base + std::max(startSec, endSec) * 1000.0;
    event.final = FinalDetails{speechEndedAt, std::max(0.0, transcribedAt - speechEndedAt),
                               Endpointing{"apple-speech-analyzer", "framework", {}, {}}};
  }
  return encode(event);
}

SpeechAnalyzerChannel::SpeechAnalyzerChannel(asio::any_io_executor strand, std::string sessionId,
                                             AudioSource source, WriterPtr writer)
    : strand_(std::move(strand)),
      sessionId_(std::move(sessionId)),
      source_(source),
      writer_(std::move(writer)),
      epoch_(makeEpoch()) {}

SpeechAnalyzerChannel::~SpeechAnalyzerChannel() = default;

Expected<std::shared_ptr<SpeechAnalyzerChannel>, speech::SpeechError> SpeechAnalyzerChannel::create(
    speech::AnalysisService& service, asio::any_io_executor strand, std::string sessionId,
    AudioSource source, const std::string& localeIdentifier,
    const std::vector<std::string>& vocabulary, WriterPtr writer) {
  std::shared_ptr<SpeechAnalyzerChannel> channel(new SpeechAnalyzerChannel(
      std::move(strand), std::move(sessionId), source, std::move(writer)));

  auto locale = service.supportedLocale(localeIdentifier);
  if (!locale) {
    return unexpected(
        speech::SpeechError{kAnalyzerChannelErrorDomain, kAnalyzerUnsupportedLocaleCode,
                            "Unsupported SpeechAnalyzer locale: " + localeIdentifier});
  }
  channel->transcriber_ = service.makeTranscriber(*locale);
  if (!channel->transcriber_ ||
      service.assetStatus(*channel->transcriber_) != speech::AssetStatus::installed) {
    return unexpected(speech::SpeechError{kAnalyzerChannelErrorDomain,
                                          kAnalyzerModelNotInstalledCode,
                                          "SpeechAnalyzer model is not installed; run npm run "
                                          "helper:install-model"});
  }
  auto format = service.bestAvailableAudioFormat(*channel->transcriber_);
  if (!format) {
    return unexpected(
        speech::SpeechError{kAnalyzerChannelErrorDomain, kAnalyzerNoCompatibleFormatCode,
                            "No SpeechAnalyzer-compatible audio format is available"});
  }
  channel->analyzerFormat_ = *format;

  speech::AnalysisContext context;
  context.generalContextualStrings = vocabulary;  // whole and in order; owners cap the list

  // The engine calls the sink on its own thread; the work moves onto the strand. The sink holds
  // the channel weakly, so a released channel simply stops handling results.
  std::weak_ptr<SpeechAnalyzerChannel> weak = channel;
  asio::any_io_executor resultStrand = channel->strand_;
  speech::AnalyzerResultSink sink;
  sink.onResult = [weak, resultStrand](const speech::AnalysisResult& result) {
    asio::post(resultStrand, [weak, result] {
      if (auto self = weak.lock()) self->handleResult(result);
    });
  };
  sink.onEnd = [weak, resultStrand](const std::optional<speech::SpeechError>& error) {
    asio::post(resultStrand, [weak, error] {
      if (auto self = weak.lock()) self->handleEnd(error);
    });
  };
  sink.onWaiting = [weak, resultStrand](bool waiting) {
    asio::post(resultStrand, [weak, waiting] {
      if (auto self = weak.lock()) self->handleWaiting(waiting);
    });
  };
  auto analyzer = service.makeAnalyzer(channel->transcriber_, context, *format, std::move(sink));
  if (!analyzer) return unexpected(analyzer.error());
  channel->analyzer_ = std::move(analyzer.value());
  return channel;
}

std::optional<ConversionError> SpeechAnalyzerChannel::append(const audio::PcmBufferPtr& buffer,
                                                             double capturedAt) {
  if (!baseCapturedAt_) baseCapturedAt_ = capturedAt;
  auto converted = converter_.convert(buffer, analyzerFormat_);
  if (!converted) return converted.error();
  // A closed queue discards the buffer; the append itself still succeeded.
  analyzer_->append(std::move(converted.value()));
  return std::nullopt;
}

void SpeechAnalyzerChannel::finish(FinishHandler done) {
  analyzer_->endInput();
  // The strand stays free while the analyzer works through what is queued, so every result is
  // written as it comes, as during the session, and not only once the whole backlog is done.
  // The engine may drop this callback on its own thread: it keeps nothing of the channel or of
  // the owner alive there (the last reference would end the engine from its own thread).
  std::weak_ptr<SpeechAnalyzerChannel> weak = shared_from_this();
  analyzer_->finalizeAndFinish([weak, strand = strand_, done = std::move(done)](
                                   const std::optional<speech::SpeechError>& error) mutable {
    asio::post(strand, [weak, done = std::move(done), error]() mutable {
      auto self = weak.lock();
      if (!self) return;  // released by its owner, who no longer waits
      if (error) return done(error);
      // The end of the results was posted before this answer; it may still be on its way
      // when the analyzer answers from another thread.
      if (self->resultsEnded_)
        done(std::nullopt);
      else
        self->finishWaiters_.push_back(std::move(done));
    });
  });
}

void SpeechAnalyzerChannel::cancel() {
  cancelled_ = true;
  analyzer_->endInput();
  analyzer_->cancelAndFinishNow();
}

void SpeechAnalyzerChannel::handleResult(const speech::AnalysisResult& result) {
  // A cancelled loop stops at once; an ended one has nothing more to say.
  if (cancelled_ || resultsEnded_) return;
  if (auto event = makeTranscriptEvent(result, sessionId_, source_, epoch_, baseCapturedAt_,
                                       nowMilliseconds())) {
    writer_->write(*event);
  }
}

void SpeechAnalyzerChannel::handleWaiting(bool waiting) {
  if (cancelled_ || resultsEnded_) return;
  writer_->write(encode(SourceWaiting{sessionId_, source_, waiting, nowMilliseconds()}));
}

void SpeechAnalyzerChannel::handleEnd(const std::optional<speech::SpeechError>& error) {
  if (resultsEnded_) return;
  resultsEnded_ = true;
  // The cancellation error is how a cancelled loop ends, not a failure.
  if (error && !speech::isCancellation(*error) && !cancelled_) {
    writer_->error("SpeechAnalyzer result stream failed: " + error->description, sessionId_,
                   source_);
  }
  auto waiters = std::move(finishWaiters_);
  finishWaiters_.clear();
  for (auto& waiter : waiters) waiter(std::nullopt);
}

}  // namespace brimlow::stt
