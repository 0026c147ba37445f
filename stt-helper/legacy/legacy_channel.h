#pragma once
// One recognition channel of the legacy backend: the audio of one (session, source) pair cut
// into utterances by an energy test, each utterance one recognizer request and task, and the
// task's results turned into "transcript.partial" and "transcript.final" events.
//
// Threads: every member runs on the main queue. The recognizer calls its handler on an engine
// thread; the handler only checks that the channel still exists and posts the call onto the
// main queue, holding the channel until the posted work has run.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "platform/expected.h"
#include "platform/speech/recognizer.h"
#include "protocol/helper_commands.h"
#include "stt-helper/event_writer.h"
#include "stt-helper/legacy/legacy_errors.h"
#include "support/audio/audio.h"

namespace brimlow::stt {

// A new random UUID in canonical 8-4-4-4-12 form with uppercase hexadecimal digits.
std::string makeUtteranceId();

class LegacyRecognitionChannel : public std::enable_shared_from_this<LegacyRecognitionChannel> {
 public:
  // Where the channel is in its utterance, and so where a buffer goes:
  //   idle       no request or task; buffers wait in the preroll (the newest prerollCount).
  //              A voiced buffer opens an utterance: -> capturing.
  //   capturing  a request and its task are open; buffers go to the request. Once there is text,
  //              silence or length ends the audio (the endpoint): -> finishing.
  //   finishing  the audio has ended, the task is still open; buffers wait in the pending list
  //              (the newest maxPendingBuffers).
  //   retired    Dictation was found off and the backend has let go of the channel; buffers are
  //              dropped and no request opens again.
  // The task's end (its final result or an error), in capturing or finishing, closes the
  // utterance: -> idle, and the pending buffers are fed again; or -> retired when the error says
  // that Dictation is off. cancel() and finish() close it at once: -> idle (retired stays retired).
  // A new channel opens its first utterance at creation, so it starts capturing.
  enum class UtteranceState { idle, capturing, finishing, retired };

  static constexpr double voiceRmsThreshold = 0.008;
  static constexpr double silenceEndpointMs = 900.0;
  static constexpr double maxUtteranceMs = 20000.0;
  static constexpr size_t prerollCount = 2;
  static constexpr size_t maxPendingBuffers = 40;

  // Checks permission, locale and on-device model, then opens the first request and task, so a
  // new channel is capturing before its first buffer arrives. The error's description is the
  // message for the host. `debugLog`: endpointing notes on stderr (BRIMLOW_STT_DEBUG).
  static Expected<std::shared_ptr<LegacyRecognitionChannel>, speech::SpeechError> create(
      std::string sessionId, AudioSource source, const std::string& localeIdentifier,
      std::vector<std::string> vocabulary, WriterPtr writer,
      std::function<void()> onDictationDisabled, speech::RecognizerService& service,
      asio::io_context& mainQueue, bool debugLog = false);

  // A channel dropped with a task still open cancels it, so that the engine lets go of the
  // audio it was waiting for; the handler finds the channel gone and does nothing.
  ~LegacyRecognitionChannel();

  LegacyRecognitionChannel(const LegacyRecognitionChannel&) = delete;
  LegacyRecognitionChannel& operator=(const LegacyRecognitionChannel&) = delete;

  // Feeds one chunk: preroll while idle, the open request while capturing (then the endpoint
  // test), the pending list while finishing, nowhere once retired. `sequence` is not used.
  void append(audio::PcmBufferPtr buffer, int64_t sequence, double capturedAt);

  // Ends recognition now: the task is cancelled and its later calls are ignored, so nothing more
  // of this utterance is written.
  void cancel();
  // The session is over: a "flush" final for text not yet finalised, then cancel.
  void finish();

  // Root mean square of the first channel's samples, scaled to [0, 1]; 0 for an empty buffer.
  static double normalizedRms(const audio::PcmBuffer& buffer);
  static bool isNoSpeechError(const speech::SpeechError& error);

  // What tests look at.
  const std::string& sessionId() const { return sessionId_; }
  AudioSource source() const { return source_; }
  const std::string& utteranceId() const { return utteranceId_; }
  const std::string& lastText() const { return lastText_; }
  const std::string& endpointReason() const { return endpointReason_; }
  std::optional<double> baseCapturedAt() const { return baseCapturedAt_; }
  UtteranceState state() const { return state_; }
  bool finishing() const { return state_ == UtteranceState::finishing; }
  bool hasRequest() const { return request_ != nullptr; }
  bool hasTask() const { return task_ != nullptr; }
  size_t prerollSize() const { return preroll_.size(); }
  size_t pendingSize() const { return pending_.size(); }
  // Capture times of the pending buffers, oldest first.
  std::vector<double> pendingCaptureTimes() const;

 private:
  struct TimedBuffer {
    audio::PcmBufferPtr buffer;
    double capturedAt;
  };

  LegacyRecognitionChannel(std::string sessionId, AudioSource source,
                           std::shared_ptr<speech::SpeechRecognizer> recognizer,
                           std::vector<std::string> vocabulary, WriterPtr writer,
                           std::function<void()> onDictationDisabled, asio::io_context& mainQueue,
                           bool debugLog);

  // Where each buffer goes, by state (see UtteranceState).
  void keepInPreroll(audio::PcmBufferPtr buffer, double capturedAt);
  void openUtterance(double now, double capturedAt);
  void capture(audio::PcmBufferPtr buffer, double capturedAt, double now);
  void holdBack(audio::PcmBufferPtr buffer, double capturedAt);
  // The endpoint's reason ("max-speech" or "silence") once the open utterance should end.
  std::optional<std::string> reachedEndpoint(double now) const;
  void endUtteranceAudio(const std::string& reason);

  // Opens a request and its task: -> capturing.
  void startRecognition();
  void flushPending();
  void resetUtterance();
  void debugLog(const std::string& message) const;

  // The task's results and errors, on the main queue.
  void onTaskCallback(uint64_t generation, const std::optional<speech::RecognitionResult>& result,
                      const std::optional<speech::SpeechError>& error);
  // Writes the partial or final of a result with text; true when it wrote the final.
  bool handleResult(const speech::RecognitionResult& result);
  // Reports the task's error to the host; true when it says that Dictation is off.
  bool reportError(const speech::SpeechError& error);
  // The task has ended: closes the utterance, then -> idle or -> retired.
  void endTask(bool finalWritten, bool dictationOff);
  void emitSyntheticFinalIfNeeded(const std::string& reason = "flush");
  // A partial of the current utterance; a final once its details are added.
  Transcript transcript(const std::string& text, double startedAt, double transcribedAt) const;
  FinalDetails finalDetails(double speechEndedAt, double transcribedAt,
                            const std::string& reason) const;

  const std::string sessionId_;
  const AudioSource source_;
  const std::shared_ptr<speech::SpeechRecognizer> recognizer_;
  const std::vector<std::string> vocabulary_;
  const WriterPtr writer_;
  const std::function<void()> onDictationDisabled_;
  asio::io_context& mainQueue_;

  std::shared_ptr<speech::AudioBufferRecognitionRequest> request_;
  std::shared_ptr<speech::RecognitionTask> task_;
  std::string utteranceId_;
  std::optional<double> baseCapturedAt_;
  std::string lastText_;
  std::optional<double> lastStartedAt_;
  std::optional<double> lastSpeechEndedAt_;
  // The reason of the last endpoint; a final the recognizer gives by itself reports it too.
  std::string endpointReason_ = "silence";
  const bool debug_;
  double lastVoiceAt_ = 0.0;
  std::optional<double> utteranceStartedWall_;
  UtteranceState state_ = UtteranceState::idle;
  std::deque<TimedBuffer> preroll_;
  std::deque<TimedBuffer> pending_;

  // Which task the handler's calls belong to: a call of a task that was cancelled or has
  // already ended must not end the task that replaced it.
  uint64_t taskGeneration_ = 0;
  uint64_t currentGeneration_ = 0;
};

}  // namespace brimlow::stt
