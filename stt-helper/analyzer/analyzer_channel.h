#pragma once
// One recognition pipeline for one audio source of one session (or the one file of research
// mode): converts chunks to the analyzer's format, queues them, and turns every result the
// analyzer reports into a "transcript.partial" or "transcript.final" line, and every wait of its
// audio for the engine into a "source.waiting" line.
//
// Threads: every call, creation included, must run on the channel's strand, one at a time. The
// analyzer's sink posts results onto the same strand, so results are handled between appends and
// never at the same time as them; calls may block on the service (creation, cancel), which is why
// the strand lives on a worker pool and never on the command loop. Nothing waits for the analyzer
// on the strand while it works off queued audio, or its results would wait behind it.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/any_io_executor.hpp>

#include "platform/expected.h"
#include "platform/speech/analysis.h"
#include "protocol/helper_commands.h"
#include "stt-helper/analyzer/analyzer_errors.h"
#include "stt-helper/analyzer/buffer_converter.h"
#include "stt-helper/event_writer.h"
#include "support/audio/audio.h"

namespace brimlow::stt {

// The first 8 hexadecimal digits of a random UUID, uppercase: distinguishes the utterance ids of
// channels that follow one another on the same session and source.
std::string makeEpoch();

class SpeechAnalyzerChannel : public std::enable_shared_from_this<SpeechAnalyzerChannel> {
 public:
  using FinishHandler = std::function<void(std::optional<speech::SpeechError>)>;

  // Builds a running channel, or fails with the locale, model or format error (domain
  // kAnalyzerChannelErrorDomain, codes 10 to 12) or the service's own error from preparing the
  // analyzer. Nothing is written either way. Call it on `strand`.
  static Expected<std::shared_ptr<SpeechAnalyzerChannel>, speech::SpeechError> create(
      speech::AnalysisService& service, asio::any_io_executor strand, std::string sessionId,
      AudioSource source, const std::string& localeIdentifier,
      const std::vector<std::string>& vocabulary, WriterPtr writer);

  ~SpeechAnalyzerChannel();
  SpeechAnalyzerChannel(const SpeechAnalyzerChannel&) = delete;
  SpeechAnalyzerChannel& operator=(const SpeechAnalyzerChannel&) = delete;

  // Converts and queues one chunk; never waits for the analyzer. The first chunk's capture time
  // is the base that result times are added to. After finish() or cancel() the chunk is still
  // converted, then dropped by the closed queue, and this still succeeds.
  std::optional<ConversionError> append(const audio::PcmBufferPtr& buffer, double capturedAt);

  // Ends the input and lets the analyzer finish everything queued; returns at once, and results
  // go on being written meanwhile. `done` runs on the strand: with the error when finalisation
  // fails, otherwise after the last result was written.
  void finish(FinishHandler done);

  // Ends the input, drops what is queued and stops writing results. Writes nothing itself.
  void cancel();

  const std::string& sessionId() const { return sessionId_; }
  AudioSource source() const { return source_; }
  const std::string& epoch() const { return epoch_; }
  const audio::AudioFormat& analyzerFormat() const { return analyzerFormat_; }

 private:
  SpeechAnalyzerChannel(asio::any_io_executor strand, std::string sessionId, AudioSource source,
                        WriterPtr writer);
  void handleResult(const speech::AnalysisResult& result);
  // "source.waiting": the audio queues because the engine decodes as many channels as it can,
  // or (false) it is decoded again.
  void handleWaiting(bool waiting);
  void handleEnd(const std::optional<speech::SpeechError>& error);

  asio::any_io_executor strand_;
  std::string sessionId_;
  AudioSource source_;
  WriterPtr writer_;
  std::shared_ptr<speech::SpeechTranscriber> transcriber_;
  std::shared_ptr<speech::SpeechAnalyzer> analyzer_;
  audio::AudioFormat analyzerFormat_;
  std::string epoch_;
  BufferConverter converter_;
  std::optional<double> baseCapturedAt_;
  bool cancelled_ = false;
  bool resultsEnded_ = false;
  std::vector<FinishHandler> finishWaiters_;  // until the results end
};

// The "transcript.partial" or "transcript.final" event for one result, or nothing for a result
// whose text is only white space. `baseCapturedAt` is the first chunk's capture time, or absent
// when no chunk was appended (then the transcription time is the base).
std::optional<Event> makeTranscriptEvent(const speech::AnalysisResult& result,
                                         const std::string& sessionId, AudioSource source,
                                         const std::string& epoch,
                                         std::optional<double> baseCapturedAt,
                                         double transcribedAt);

}  // namespace brimlow::stt
