#include "sound-servers/pulse/pulse_stream.h"

#include <pulse/rtclock.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <asio/post.hpp>

#include "protocol/capture_texts.h"

namespace brimlow::platform::pulse {

PulseStream::PulseStream(PulseCaptureOptions options, capture::ContentFilter filter,
                         capture::StreamConfiguration configuration,
                         std::weak_ptr<capture::StreamDelegate> delegate)
    : options_(options),
      filter_(std::move(filter)),
      configuration_(configuration),
      delegate_(std::move(delegate)) {
  for (const auto& app : filter_.excludedApplications) excluded_.insert(app.processID);
  if (configuration_.excludesCurrentProcessAudio) excluded_.insert(::getpid());
}

PulseStream::~PulseStream() {
  tearDown();
}

std::optional<CaptureError> PulseStream::addStreamOutput(
    std::weak_ptr<capture::StreamOutput> output, capture::OutputType type,
    asio::any_io_executor queue) {
  std::lock_guard guard(lifecycle_);
  // Only sound is recorded here; a screen output is accepted and never called.
  if (type == capture::OutputType::audio) {
    output_ = std::move(output);
    queue_ = std::move(queue);
  }
  return std::nullopt;
}

void PulseStream::startCapture(capture::Completion done) {
  std::optional<CaptureError> error;
  {
    std::lock_guard guard(lifecycle_);
    error = setUp();
  }
  if (error) tearDown();
  done(std::move(error));
}

void PulseStream::stopCapture(capture::Completion done) {
  tearDown();
  done(std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// Start and stop

std::optional<CaptureError> PulseStream::setUp() {
  if (auto error = connect()) return error;
  LoopLock lock(connection_->loop());
  starting_ = true;
  startFailure_.reset();
  std::optional<CaptureError> error = learnServer();
  if (!error) error = prepareMixer();
  if (!error) error = subscribe();
  if (!error) error = listOutputsAndStreams();
  if (!error) error = startClock();
  starting_ = false;
  running_ = !error;
  return error;
}

std::optional<CaptureError> PulseStream::connect() {
  if (connection_) return CaptureError{"pulse", PA_ERR_BADSTATE, protocol::kAlreadyStarted};
  auto opened = Connection::open(options_.serverTimeout);
  if (!opened) return opened.error();
  connection_ = std::move(*opened);
  return std::nullopt;
}

std::optional<CaptureError> PulseStream::learnServer() {
  return connection_->get(&pa_context_get_server_info, "pa_context_get_server_info",
                          protocol::kServerInfoFailed, [this](const pa_server_info& info) {
                            ownConnections_ =
                                info.server_name && std::strstr(info.server_name, "PipeWire");
                          });
}

std::optional<CaptureError> PulseStream::prepareMixer() {
  rate_ = configuration_.sampleRate;
  const pa_sample_spec mono{PA_SAMPLE_FLOAT32LE, rate_, 1};
  if (!pa_sample_spec_valid(&mono)) return formatError(mono);
  auto framesOf = [this](std::chrono::milliseconds time) {
    return static_cast<size_t>(static_cast<double>(rate_) * static_cast<double>(time.count()) /
                               1000.0);
  };
  mixer_ = std::make_unique<StreamMixer>(
      1, framesOf(options_.stall), framesOf(options_.heldLimit),
      [this](const float* mono, size_t frames) { deliver(mono, frames); },
      [this](size_t frames) { return outgoingFrames(frames); });
  connection_->setStateHandler([this](pa_context_state_t state) { onContextState(state); });
  return std::nullopt;
}

// Outputs and playback streams are watched before they are listed, so that none slips between.
std::optional<CaptureError> PulseStream::subscribe() {
  pa_context* context = connection_->context();
  pa_context_set_subscribe_callback(context, &PulseStream::onSubscribe, this);
  Pending subscribed{connection_.get()};
  const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                        PA_SUBSCRIPTION_MASK_SINK_INPUT);
  return connection_->finish(pa_context_subscribe(context, mask, &Pending::onSuccess, &subscribed),
                             subscribed, "pa_context_subscribe", protocol::kStreamsSubscribeFailed);
}

std::optional<CaptureError> PulseStream::listOutputsAndStreams() {
  listingOutputs_ = true;  // the streams are listed next anyway
  auto error = connection_->list(&pa_context_get_sink_info_list, "pa_context_get_sink_info_list",
                                 protocol::kOutputsListFailed,
                                 [this](const pa_sink_info& info) { addOutput(info); });
  listingOutputs_ = false;
  if (error) return error;
  if (startFailure_) return startFailure_;
  if (outputs_.empty()) return CaptureError{"pulse", PA_ERR_NOENTITY, protocol::kNoOutput};
  if (auto error = connection_->list(
          &pa_context_get_sink_input_info_list, "pa_context_get_sink_input_info_list",
          protocol::kStreamsQueryFailed, [this](const pa_sink_input_info& info) { lookAt(info); }))
    return error;
  return startFailure_;
}

std::optional<CaptureError> PulseStream::startClock() {
  lastClockAt_ = pa_rtclock_now();
  tick_ = pa_context_rttime_new(connection_->context(), lastClockAt_ + timerPeriod(),
                                &PulseStream::onTick, this);
  if (!tick_) return callError(protocol::kClockStartFailed, "pa_context_rttime_new");
  return std::nullopt;
}

void PulseStream::tearDown() {
  std::lock_guard guard(lifecycle_);
  if (!connection_) return;
  {
    LoopLock lock(connection_->loop());
    running_ = false;
    ended_ = true;
    pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
    if (tick_) {
      pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection_->loop());
      api->time_free(tick_);
      tick_ = nullptr;
    }
    for (auto& [index, recorder] : recorders_) {
      retire(recorder->stream);
      retire(recorder->context);
    }
    recorders_.clear();
    for (auto& [index, output] : outputs_) retire(output->keeper);
    outputs_.clear();
    reap();
  }
  connection_.reset();  // stops the loop's thread, then disconnects
  mixer_.reset();
  outgoing_.reset();
}

pa_usec_t PulseStream::fragmentPeriod() const {
  return static_cast<pa_usec_t>(options_.fragment.count()) * PA_USEC_PER_MSEC;
}

// The timer stands in for the clock only after a silence of several stalls; waking up more
// often than once a stall would buy nothing.
pa_usec_t PulseStream::timerPeriod() const {
  return static_cast<pa_usec_t>(options_.stall.count()) * PA_USEC_PER_MSEC;
}

pa_buffer_attr PulseStream::bufferAttributes(const pa_sample_spec& sampleSpec) const {
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(-1);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  // Left at its default the server sends in bursts with gaps of up to 2 s.
  attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(fragmentPeriod(), &sampleSpec));
  return attr;
}

// ---------------------------------------------------------------------------------------------
// The clock

// The clock: the frames that one output's keeper reads, so that when the server falls behind
// the clock falls behind with the recordings and no stream looks stalled. Only when no keeper
// has read anything for a while (no output left, or none that delivers) does the timer keep
// time instead.
void PulseStream::advanceClock(size_t frames) {
  lastClockAt_ = pa_rtclock_now();
  mixer_->clockFrames(frames);
}

void PulseStream::onTick(pa_mainloop_api*, pa_time_event* event, const timeval*, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  if (self->ended_) return;
  self->reap();
  const pa_usec_t now = pa_rtclock_now();
  self->dropEndedRecorders(now);
  const pa_usec_t fallback =
      static_cast<pa_usec_t>(4 * self->options_.stall.count()) * PA_USEC_PER_MSEC;
  if (self->timerIsClock_ || now - self->lastClockAt_ >= fallback) {
    self->timerIsClock_ = true;
    self->clockOutput_ = PA_INVALID_INDEX;  // the next keeper that reads takes over
    const uint64_t frames = (now - self->lastClockAt_) * self->rate_ / PA_USEC_PER_SEC;
    // Whole frames only; the rest of the time counts at the next tick.
    self->lastClockAt_ += frames * PA_USEC_PER_SEC / self->rate_;
    self->mixer_->clockFrames(static_cast<size_t>(frames));
  }
  pa_context_rttime_restart(self->connection_->context(), event, now + self->timerPeriod());
}

// ---------------------------------------------------------------------------------------------
// What goes out

// The mixer writes every piece straight into the buffer that carries it to the audio queue.
float* PulseStream::outgoingFrames(size_t frames) {
  outgoing_.reset();
  if (ended_ || !queue_ || frames == 0 || frames > UINT32_MAX) return nullptr;
  const uint32_t channels = std::max<uint32_t>(1, configuration_.channelCount);
  audio::AudioFormat format{static_cast<double>(rate_), channels, audio::SampleFormat::float32};
  outgoing_ = audio::PcmBuffer::make(format, static_cast<uint32_t>(frames));
  return outgoing_ ? outgoing_->floatChannelData(0) : nullptr;
}

// `mono` is the first channel of outgoing_, which outgoingFrames made for these frames.
void PulseStream::deliver(const float* mono, size_t frames) {
  audio::PcmBufferPtr buffer = std::move(outgoing_);
  if (!buffer) return;  // nowhere to go, or no memory for it
  for (uint32_t ch = 1; ch < buffer->format().channelCount; ++ch)
    std::memcpy(buffer->floatChannelData(ch), mono, frames * sizeof(float));
  buffer->setFrameLength(static_cast<uint32_t>(frames));
  asio::post(queue_, [output = output_, self = weak_from_this(),
                      sample = capture::SampleBuffer(std::move(buffer))] {
    auto target = output.lock();
    auto stream = self.lock();
    if (target && stream)
      target->didOutputSampleBuffer(*stream, sample, capture::OutputType::audio);
  });
}

void PulseStream::fail(CaptureError error) {
  if (starting_) {
    if (!startFailure_) startFailure_ = std::move(error);
    return;
  }
  endWithError(std::move(error));
}

void PulseStream::endWithError(CaptureError error) {
  if (!running_ || ended_) return;
  ended_ = true;
  auto call = [delegate = delegate_, self = weak_from_this(), error = std::move(error)] {
    auto target = delegate.lock();
    auto stream = self.lock();
    if (target && stream) target->didStopWithError(*stream, error);
  };
  if (queue_)
    asio::post(queue_, std::move(call));  // after the buffers already on their way
  else
    call();
}

void PulseStream::onContextState(pa_context_state_t state) {
  if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
    endWithError(
        serverError(protocol::kServerConnectionLost, pa_context_errno(connection_->context())));
}

}  // namespace brimlow::platform::pulse
