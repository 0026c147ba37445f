#pragma once
// Records what the computer plays: every playback stream on every output, each from its output's
// monitor on its own (so that those of excluded processes can be left out, which the server
// cannot do), mixed into one mono signal. Outputs and streams are followed as they come, go and
// move between outputs; which output is the default does not matter. The signal keeps the time
// of a clock (one output's monitor, or a timer), playing or not, so chunks keep pace whatever
// the streams and outputs do.
//
// pulse_stream.cpp: start and stop, the clock, what goes out (buffers, the one error).
// stream_following.cpp: outputs and playback streams as they come, go and move; their reading.
#include <sys/types.h>

#include <pulse/pulseaudio.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/capture/capture.h"
#include "sound-servers/pulse/connection.h"
#include "sound-servers/pulse/pulse_capture.h"
#include "sound-servers/pulse/stream_mixer.h"

namespace brimlow::platform::pulse {

// A query whose reply comes after the caller has moved on: its call and what it is for.
struct Question {
  const char* call;
  const char* what;
};

class PulseStream final : public capture::Stream, public std::enable_shared_from_this<PulseStream> {
 public:
  PulseStream(PulseCaptureOptions options, capture::ContentFilter filter,
              capture::StreamConfiguration configuration,
              std::weak_ptr<capture::StreamDelegate> delegate);
  ~PulseStream() override;

  std::optional<CaptureError> addStreamOutput(std::weak_ptr<capture::StreamOutput> output,
                                              capture::OutputType type,
                                              asio::any_io_executor queue) override;
  void startCapture(capture::Completion done) override;
  void stopCapture(capture::Completion done) override;

 private:
  // One playback stream, recorded from its output's monitor.
  struct Recorder {
    PulseStream* owner;
    uint32_t sinkInput;
    uint32_t sink;
    uint32_t source;  // the mixer's id: new for every recording, so that a moved stream's last
                      // frames from its old output still go out
    uint32_t channels;
    pa_stream* stream = nullptr;
    // Its own connection (ownConnections_), or nullptr for the shared one.
    pa_context* context = nullptr;
    // When the stream it follows was removed (0 while it plays): its last sound may still be on
    // the way, so the recording waits for the server to end it.
    pa_usec_t endingSince = 0;
  };

  // An output and a reader of its whole monitor, the keeper. Without a reader a null output
  // starts delivering to a new recording 1-2 s late, and what plays meanwhile is lost. One
  // output's keeper is also the clock (advanceClock).
  struct Output {
    PulseStream* owner;
    uint32_t index;
    std::string monitor;
    pa_channel_map channels;
    pa_stream* keeper = nullptr;
  };

  // Start (pulse_stream.cpp), with lifecycle_ held: the phases of setUp, in their order.
  std::optional<CaptureError> setUp();
  std::optional<CaptureError> connect();
  std::optional<CaptureError> learnServer();
  std::optional<CaptureError> prepareMixer();
  std::optional<CaptureError> subscribe();
  std::optional<CaptureError> listOutputsAndStreams();
  std::optional<CaptureError> startClock();
  void tearDown();

  pa_usec_t fragmentPeriod() const;
  pa_usec_t timerPeriod() const;
  pa_buffer_attr bufferAttributes(const pa_sample_spec& sampleSpec) const;

  // Loop thread from here on (or another thread holding the loop's lock).
  void advanceClock(size_t frames);
  static void onTick(pa_mainloop_api*, pa_time_event* event, const timeval*, void* userdata);
  float* outgoingFrames(size_t frames);
  void deliver(const float* mono, size_t frames);
  // A failure: while starting it becomes the start's error, afterwards the stream's end.
  void fail(CaptureError error);
  void endWithError(CaptureError error);
  void onContextState(pa_context_state_t state);

  // stream_following.cpp
  // A record stream of `monitor` (of one playback stream only, unless `sinkInput` is
  // PA_INVALID_INDEX) whose callbacks get `userdata`; nullptr, reported, when a call fails.
  pa_stream* connectRecord(pa_context* context, const char* name, const pa_sample_spec& sampleSpec,
                           const pa_channel_map* channels, const std::string& monitor,
                           uint32_t sinkInput, void* userdata, pa_stream_notify_cb_t onState,
                           pa_stream_request_cb_t onRead);
  void addOutput(const pa_sink_info& info);
  void removeOutput(uint32_t index);
  void confirmOutputsGone();
  void requestOutput(uint32_t index);
  void lookAtInput(uint32_t index);
  void lookAtAllInputs();
  void lookAt(const pa_sink_input_info& info);
  void addRecorder(uint32_t sinkInput, const Output& output);
  void startRecording(Recorder& recorder, pa_context* context);
  void removeRecorder(uint32_t sinkInput);
  // The playback stream is gone; its recording ends once its last sound is in.
  void inputRemoved(uint32_t sinkInput);
  // Recordings whose end the server never confirmed, given up after a while.
  void dropEndedRecorders(pa_usec_t now);
  // The recording ended without being asked (its stream or its connection): it is tried again
  // only where its playback stream plays next.
  void recordingEnded(Recorder& recorder);
  void retire(pa_stream* stream);
  void retire(pa_context* context);
  void reap();
  // Lets the query run; a call that fails at once is reported.
  void ask(pa_operation* operation, const Question& question);
  template <class Info, void (PulseStream::*Use)(const Info&), const Question* Asked>
  static void onInfo(pa_context* context, const Info* info, int eol, void* userdata);
  static void onOutputsListed(pa_context*, const pa_sink_info* info, int eol, void* userdata);
  // Reads every fragment that is ready; `use` gets its bytes (nullptr for a hole).
  template <class Use>
  void readAll(pa_stream* stream, Use&& use);
  static void onKeeperRead(pa_stream* stream, size_t, void* userdata);
  static void onKeeperState(pa_stream* stream, void* userdata);
  static void onRecorderRead(pa_stream* stream, size_t, void* userdata);
  static void onRecorderState(pa_stream* stream, void* userdata);
  static void onRecorderConnection(pa_context* context, void* userdata);
  static void onSubscribe(pa_context*, pa_subscription_event_type_t event, uint32_t index,
                          void* userdata);

  const PulseCaptureOptions options_;
  const capture::ContentFilter filter_;
  const capture::StreamConfiguration configuration_;
  const std::weak_ptr<capture::StreamDelegate> delegate_;
  std::set<pid_t> excluded_;

  std::mutex lifecycle_;  // start, stop and output registration
  std::weak_ptr<capture::StreamOutput> output_;
  asio::any_io_executor queue_;
  std::unique_ptr<Connection> connection_;

  // Below: the loop's thread, or another thread holding the loop's lock.
  uint32_t rate_ = 0;
  std::map<uint32_t, std::unique_ptr<Output>> outputs_;      // by sink index
  std::map<uint32_t, std::unique_ptr<Recorder>> recorders_;  // by sink input index
  std::map<uint32_t, uint32_t> failed_;  // sink input -> the output its recording ended on
  uint32_t nextSource_ = 0;
  // PipeWire's pulse server lets some of several recordings on one connection deliver late, in
  // bursts, or not at all; on a connection each they deliver in time. PulseAudio refuses
  // connections beyond 64 in all, so there they share this one.
  bool ownConnections_ = false;
  std::vector<pa_stream*> retired_;
  std::vector<pa_context*> retiredContexts_;
  std::unique_ptr<StreamMixer> mixer_;
  audio::PcmBufferPtr outgoing_;  // the buffer the mixer is writing into
  pa_time_event* tick_ = nullptr;
  uint32_t clockOutput_ = PA_INVALID_INDEX;  // whose keeper is the clock
  bool timerIsClock_ = false;
  pa_usec_t lastClockAt_ = 0;
  bool listingOutputs_ = false;
  bool starting_ = false;
  std::optional<CaptureError> startFailure_;
  bool running_ = false;
  bool ended_ = false;
};

}  // namespace brimlow::platform::pulse
