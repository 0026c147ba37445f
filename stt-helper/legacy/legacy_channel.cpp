#include "stt-helper/legacy/legacy_channel.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>

#include <asio/post.hpp>

#include "stt-helper/legacy/dictation_probe.h"
#include "stt-helper/text.h"
#include "support/text.h"

namespace brimlow::stt {

namespace {

using common::lowercased;

}  // namespace

std::string makeUtteranceId() {
  static std::mutex mutex;
  static std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  uint64_t high, low;
  {
    std::lock_guard lock(mutex);
    high = generator();
    low = generator();
  }
  // Version 4 (random) and the RFC 4122 variant.
  high = (high & ~0xF000ULL) | 0x4000ULL;
  low = (low & ~(0xC000ULL << 48)) | (0x8000ULL << 48);
  static const char digits[] = "0123456789ABCDEF";
  std::string id;
  id.reserve(36);
  auto put = [&](uint64_t value, int fromNibble, int toNibble) {
    for (int i = fromNibble; i < toNibble; ++i) id.push_back(digits[(value >> (60 - 4 * i)) & 0xF]);
  };
  put(high, 0, 8);
  id.push_back('-');
  put(high, 8, 12);
  id.push_back('-');
  put(high, 12, 16);
  id.push_back('-');
  put(low, 0, 4);
  id.push_back('-');
  put(low, 4, 16);
  return id;
}

Expected<std::shared_ptr<LegacyRecognitionChannel>, speech::SpeechError>
LegacyRecognitionChannel::create(std::string sessionId, AudioSource source,
                                 const std::string& localeIdentifier,
                                 std::vector<std::string> vocabulary, WriterPtr writer,
                                 std::function<void()> onDictationDisabled,
                                 speech::RecognizerService& service, asio::io_context& mainQueue,
                                 bool debugLog) {
  if (service.authorizationStatus() != speech::kAuthorizationAuthorized)
    return unexpected(speech::SpeechError{kLegacyChannelErrorDomain, kLegacyNotAuthorizedCode,
                                          "Speech Recognition permission is not authorized"});
  auto recognizer = service.recognizer(localeIdentifier);
  if (!recognizer)
    return unexpected(speech::SpeechError{kLegacyChannelErrorDomain, kLegacyUnsupportedLocaleCode,
                                          "Unsupported recognition locale: " + localeIdentifier});
  if (!recognizer->supportsOnDeviceRecognition())
    return unexpected(speech::SpeechError{
        kLegacyChannelErrorDomain, kLegacyModelNotInstalledCode,
        "The on-device recognition model for " + localeIdentifier + " is not installed"});
  std::shared_ptr<LegacyRecognitionChannel> channel(new LegacyRecognitionChannel(
      std::move(sessionId), source, std::move(recognizer), std::move(vocabulary), std::move(writer),
      std::move(onDictationDisabled), mainQueue, debugLog));
  channel->startRecognition();
  return channel;
}

LegacyRecognitionChannel::LegacyRecognitionChannel(
    std::string sessionId, AudioSource source, std::shared_ptr<speech::SpeechRecognizer> recognizer,
    std::vector<std::string> vocabulary, WriterPtr writer,
    std::function<void()> onDictationDisabled, asio::io_context& mainQueue, bool debugLog)
    : sessionId_(std::move(sessionId)),
      source_(source),
      recognizer_(std::move(recognizer)),
      vocabulary_(std::move(vocabulary)),
      writer_(std::move(writer)),
      onDictationDisabled_(std::move(onDictationDisabled)),
      mainQueue_(mainQueue),
      utteranceId_(makeUtteranceId()),
      debug_(debugLog) {}

LegacyRecognitionChannel::~LegacyRecognitionChannel() {
  if (task_) task_->cancel();
}

double LegacyRecognitionChannel::normalizedRms(const audio::PcmBuffer& buffer) {
  const int16_t* samples = buffer.int16ChannelData(0);
  const uint32_t n = buffer.frameLength();
  if (samples == nullptr || n == 0) return 0.0;
  double sum = 0.0;
  for (uint32_t i = 0; i < n; ++i) {
    const double value = samples[i] / 32768.0;
    sum += value * value;
  }
  return std::sqrt(sum / n);
}

bool LegacyRecognitionChannel::isNoSpeechError(const speech::SpeechError& error) {
  return error.code == speech::kNoSpeechErrorCode ||
         lowercased(error.description).find("no speech") != std::string::npos;
}

std::vector<double> LegacyRecognitionChannel::pendingCaptureTimes() const {
  std::vector<double> times;
  for (const auto& entry : pending_) times.push_back(entry.capturedAt);
  return times;
}

void LegacyRecognitionChannel::debugLog(const std::string& message) const {
  if (!debug_) return;
  const std::string line = "[stt-debug] " + message + "\n";
  const char* data = line.data();
  size_t size = line.size();
  while (size > 0) {
    ssize_t n = ::write(2, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void LegacyRecognitionChannel::startRecognition() {
  speech::RecognitionRequestOptions options;
  options.shouldReportPartialResults = true;
  options.requiresOnDeviceRecognition = true;
  options.taskHint = speech::kTaskHintDictation;
  options.contextualStrings = vocabulary_;
  request_ = std::make_shared<speech::AudioBufferRecognitionRequest>(std::move(options));

  const uint64_t generation = ++taskGeneration_;
  currentGeneration_ = generation;
  std::weak_ptr<LegacyRecognitionChannel> weak = weak_from_this();
  auto executor = mainQueue_.get_executor();
  task_ = recognizer_->recognitionTask(
      request_, [weak, executor, generation](const std::optional<speech::RecognitionResult>& result,
                                             const std::optional<speech::SpeechError>& error) {
        // Engine thread: only find out whether the channel is still there.
        auto channel = weak.lock();
        if (!channel) return;
        asio::post(executor, [channel = std::move(channel), generation, result, error] {
          channel->onTaskCallback(generation, result, error);
        });
      });
  state_ = UtteranceState::capturing;
}

void LegacyRecognitionChannel::append(audio::PcmBufferPtr buffer, int64_t /*sequence*/,
                                      double capturedAt) {
  if (!buffer) return;
  const double now = nowMilliseconds();
  const bool voiced = voiceRmsThreshold <= normalizedRms(*buffer);
  if (voiced) lastVoiceAt_ = now;

  switch (state_) {
    case UtteranceState::idle:
      if (!voiced) return keepInPreroll(std::move(buffer), capturedAt);
      openUtterance(now, capturedAt);
      return capture(std::move(buffer), capturedAt, now);
    case UtteranceState::capturing:
      return capture(std::move(buffer), capturedAt, now);
    case UtteranceState::finishing:
      return holdBack(std::move(buffer), capturedAt);
    case UtteranceState::retired:
      return;  // the backend has let go of this channel
  }
}

void LegacyRecognitionChannel::keepInPreroll(audio::PcmBufferPtr buffer, double capturedAt) {
  preroll_.push_back({std::move(buffer), capturedAt});
  if (preroll_.size() > prerollCount) preroll_.pop_front();
}

// Idle -> capturing: the new request starts with the preroll, and so do the utterance's times.
void LegacyRecognitionChannel::openUtterance(double now, double capturedAt) {
  startRecognition();
  utteranceStartedWall_ = now;
  baseCapturedAt_ = preroll_.empty() ? capturedAt : preroll_.front().capturedAt;
  for (auto& entry : preroll_) request_->appendAudioPCMBuffer(entry.buffer);
  preroll_.clear();
}

void LegacyRecognitionChannel::capture(audio::PcmBufferPtr buffer, double capturedAt, double now) {
  if (!baseCapturedAt_) baseCapturedAt_ = capturedAt;
  request_->appendAudioPCMBuffer(std::move(buffer));
  if (auto reason = reachedEndpoint(now)) endUtteranceAudio(*reason);
}

void LegacyRecognitionChannel::holdBack(audio::PcmBufferPtr buffer, double capturedAt) {
  pending_.push_back({std::move(buffer), capturedAt});
  if (pending_.size() > maxPendingBuffers) pending_.pop_front();
}

std::optional<std::string> LegacyRecognitionChannel::reachedEndpoint(double now) const {
  // Nothing recognised yet: the utterance stays open, however long it runs. The first utterance
  // of a channel has no start time and is never cut for length.
  if (lastText_.empty()) return std::nullopt;
  if (utteranceStartedWall_ && maxUtteranceMs <= now - *utteranceStartedWall_) return "max-speech";
  if (silenceEndpointMs <= now - lastVoiceAt_) return "silence";
  return std::nullopt;
}

// Capturing -> finishing: the recognizer gets the end of the audio and then ends the task.
void LegacyRecognitionChannel::endUtteranceAudio(const std::string& reason) {
  debugLog("endpoint reason=" + reason + " lastText=" + lastText_);
  endpointReason_ = reason;
  state_ = UtteranceState::finishing;
  request_->endAudio();
  request_.reset();
}

void LegacyRecognitionChannel::flushPending() {
  if (pending_.empty()) return;
  std::deque<TimedBuffer> entries;
  entries.swap(pending_);
  for (auto& entry : entries) append(std::move(entry.buffer), 0, entry.capturedAt);
}

void LegacyRecognitionChannel::resetUtterance() {
  utteranceId_ = makeUtteranceId();
  baseCapturedAt_.reset();
  lastStartedAt_.reset();
  lastSpeechEndedAt_.reset();
  utteranceStartedWall_.reset();
  lastText_.clear();
}

void LegacyRecognitionChannel::cancel() {
  if (task_) task_->cancel();
  task_.reset();
  request_.reset();
  currentGeneration_ = 0;
  preroll_.clear();
  pending_.clear();
  resetUtterance();
  if (state_ != UtteranceState::retired) state_ = UtteranceState::idle;
}

void LegacyRecognitionChannel::finish() {
  emitSyntheticFinalIfNeeded("flush");
  if (request_) request_->endAudio();
  cancel();
}

void LegacyRecognitionChannel::onTaskCallback(
    uint64_t generation, const std::optional<speech::RecognitionResult>& result,
    const std::optional<speech::SpeechError>& error) {
  // A late call of a task that was cancelled or already ended; the channel has moved on.
  if (generation != currentGeneration_) return;

  const bool finalWritten = result && handleResult(*result);
  const bool dictationOff = error && reportError(*error);
  const bool finalResult = result && result->isFinal;
  if (!finalResult && !error) return;  // a partial: the task goes on

  std::string errorText = "none";
  if (error)
    errorText = error->domain + "#" + std::to_string(error->code) + " " + error->description;
  debugLog(std::string("task end final=") + (finalResult ? "true" : "false") + " error=" +
           errorText + " lastText=" + lastText_ + " emitted=" + (finalWritten ? "true" : "false"));
  endTask(finalWritten, dictationOff);
}

bool LegacyRecognitionChannel::reportError(const speech::SpeechError& error) {
  if (isNoSpeechError(error)) return false;  // an utterance without speech is no failure
  if (!isDictationDisabledError(error)) {
    writer_->error("Speech recognition failed: " + error.description, sessionId_, source_);
    return false;
  }
  if (onDictationDisabled_) onDictationDisabled_();
  return true;
}

// Capturing or finishing -> idle, or -> retired: the text not yet finalised gets its fallback
// final, and a channel that goes on replays what it held back while finishing.
void LegacyRecognitionChannel::endTask(bool finalWritten, bool dictationOff) {
  if (!finalWritten) emitSyntheticFinalIfNeeded("fallback");
  task_.reset();
  request_.reset();
  currentGeneration_ = 0;
  resetUtterance();
  if (dictationOff) {
    // Nobody will feed or finish this channel again; what it held back goes nowhere.
    state_ = UtteranceState::retired;
    pending_.clear();
    preroll_.clear();
    return;
  }
  state_ = UtteranceState::idle;
  flushPending();
}

Transcript LegacyRecognitionChannel::transcript(const std::string& text, double startedAt,
                                                double transcribedAt) const {
  return Transcript{sessionId_, utteranceId_,  source_,     text,
                    startedAt,  transcribedAt, std::nullopt};
}

FinalDetails LegacyRecognitionChannel::finalDetails(double speechEndedAt, double transcribedAt,
                                                    const std::string& reason) const {
  return FinalDetails{speechEndedAt, std::max(0.0, transcribedAt - speechEndedAt),
                      Endpointing{"apple-sfspeech", reason, voiceRmsThreshold, silenceEndpointMs}};
}

bool LegacyRecognitionChannel::handleResult(const speech::RecognitionResult& result) {
  const std::string text = trimWhitespaceAndNewlines(result.bestTranscription.formattedString);
  if (text.empty()) {
    if (result.isFinal) debugLog("final with empty text lastText=" + lastText_);
    return false;
  }
  const auto& segments = result.bestTranscription.segments;
  const double first = segments.empty() ? 0.0 : segments.front().timestamp;
  const double end =
      segments.empty() ? first : segments.back().timestamp + segments.back().duration;
  const double base = baseCapturedAt_ ? *baseCapturedAt_ : nowMilliseconds();
  const double startedAt = base + first * 1000.0;
  const double speechEndedAt = base + end * 1000.0;
  const double transcribedAt = nowMilliseconds();
  lastText_ = text;
  lastStartedAt_ = startedAt;
  lastSpeechEndedAt_ = speechEndedAt;

  Transcript event = transcript(text, startedAt, transcribedAt);
  if (result.isFinal) event.final = finalDetails(speechEndedAt, transcribedAt, endpointReason_);
  writer_->write(encode(event));
  return result.isFinal;
}

void LegacyRecognitionChannel::emitSyntheticFinalIfNeeded(const std::string& reason) {
  if (lastText_.empty()) return;
  const double now = nowMilliseconds();
  const double speechEnd = lastSpeechEndedAt_ ? *lastSpeechEndedAt_ : now;
  Transcript event = transcript(lastText_, lastStartedAt_ ? *lastStartedAt_ : speechEnd, now);
  event.final = finalDetails(speechEnd, now, reason);
  writer_->write(encode(event));
}

}  // namespace brimlow::stt
