// PulseStream, following what plays: outputs and their keepers, one recording per playback
// stream, the server's events about both, and reading what they record. All of it runs on the
// loop's thread (or another thread holding the loop's lock).
#include <algorithm>
#include <cstring>

#include "protocol/capture_texts.h"
#include "sound-servers/pulse/pulse_stream.h"

namespace brimlow::platform::pulse {

namespace {

using protocol::kKeeperFailed;
using protocol::kReadFailed;
using protocol::kRecordFailed;

// Averages the channels of interleaved float frames into `mono`; a hole (nullptr) is silence.
void downmix(const void* data, uint32_t channels, size_t frames, float* mono) {
  if (!data) {
    std::fill_n(mono, frames, 0.0f);  // a hole in the stream: its time passed without sound
    return;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  const float scale = 1.0f / static_cast<float>(channels);
  for (size_t f = 0; f < frames; ++f) {
    float sum = 0.0f;
    for (uint32_t ch = 0; ch < channels; ++ch) {
      float sample;
      // Read through memcpy: the server's memory need not be aligned for floats.
      std::memcpy(&sample, bytes + (f * channels + ch) * sizeof(float), sizeof sample);
      sum += sample;
    }
    mono[f] = sum * scale;
  }
}

int errorOf(pa_stream* stream) {
  return pa_context_errno(pa_stream_get_context(stream));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Outputs

void PulseStream::addOutput(const pa_sink_info& info) {
  if (ended_ || outputs_.count(info.index) || !info.monitor_source_name) return;
  auto output = std::make_unique<Output>(
      Output{this, info.index, info.monitor_source_name, info.channel_map, nullptr});
  // Mono at the capture's rate: its frames are the clock's when it is the clock's output.
  const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, rate_, 1};
  output->keeper = connectRecord(connection_->context(), "Brimlow output keeper", sampleSpec,
                                 nullptr, output->monitor, PA_INVALID_INDEX, output.get(),
                                 &PulseStream::onKeeperState, &PulseStream::onKeeperRead);
  outputs_.emplace(info.index, std::move(output));
  // Streams that named this output before we knew of it are looked at again.
  if (!listingOutputs_) lookAtAllInputs();
}

void PulseStream::removeOutput(uint32_t index) {
  auto it = outputs_.find(index);
  if (it == outputs_.end()) return;
  retire(it->second->keeper);
  outputs_.erase(it);
  if (clockOutput_ == index) clockOutput_ = PA_INVALID_INDEX;
  // The streams that played there move to another output or end; their events follow. Only
  // when no output is left at all has the capture lost what it records: the server may
  // already be adding a stand-in, so it is asked first.
  if (outputs_.empty()) confirmOutputsGone();
}

namespace {

constexpr Question kOutputsAgain{"pa_context_get_sink_info_list", protocol::kOutputsListFailed};
constexpr Question kOutput{"pa_context_get_sink_info_by_index", protocol::kOutputQueryFailed};
constexpr Question kInput{"pa_context_get_sink_input_info", protocol::kStreamsQueryFailed};
constexpr Question kInputs{"pa_context_get_sink_input_info_list", protocol::kStreamsQueryFailed};

}  // namespace

void PulseStream::confirmOutputsGone() {
  ask(pa_context_get_sink_info_list(connection_->context(), &PulseStream::onOutputsListed, this),
      kOutputsAgain);
}

void PulseStream::onOutputsListed(pa_context* context, const pa_sink_info* info, int eol,
                                  void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  if (self->ended_) return;
  if (info && eol == 0) return self->addOutput(*info);
  if (eol < 0)
    return self->fail(callError(kOutputsAgain.what, kOutputsAgain.call, pa_context_errno(context)));
  if (self->outputs_.empty())
    self->endWithError(serverError(protocol::kOutputRemoved, PA_ERR_KILLED));
}

void PulseStream::ask(pa_operation* operation, const Question& question) {
  if (operation) return pa_operation_unref(operation);
  fail(callError(question.what, question.call, pa_context_errno(connection_->context())));
}

template <class Info, void (PulseStream::*Use)(const Info&), const Question* Asked>
void PulseStream::onInfo(pa_context* context, const Info* info, int eol, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  if (self->ended_) return;
  if (info && eol == 0) return (self->*Use)(*info);
  // What is gone by the time it is asked about is no failure: its removal event comes too.
  if (eol < 0 && pa_context_errno(context) != PA_ERR_NOENTITY)
    self->fail(callError(Asked->what, Asked->call, pa_context_errno(context)));
}

void PulseStream::requestOutput(uint32_t index) {
  ask(pa_context_get_sink_info_by_index(
          connection_->context(), index,
          &PulseStream::onInfo<pa_sink_info, &PulseStream::addOutput, &kOutput>, this),
      kOutput);
}

// ---------------------------------------------------------------------------------------------
// Playback streams

void PulseStream::lookAtInput(uint32_t index) {
  ask(pa_context_get_sink_input_info(
          connection_->context(), index,
          &PulseStream::onInfo<pa_sink_input_info, &PulseStream::lookAt, &kInput>, this),
      kInput);
}

void PulseStream::lookAtAllInputs() {
  ask(pa_context_get_sink_input_info_list(
          connection_->context(),
          &PulseStream::onInfo<pa_sink_input_info, &PulseStream::lookAt, &kInputs>, this),
      kInputs);
}

// Brings the recording of one playback stream in line with where it plays now.
void PulseStream::lookAt(const pa_sink_input_info& info) {
  if (ended_) return;
  auto pid = processIdOf(info.proplist);
  // A new stream may name its output only in a later change.
  if ((pid && excluded_.count(*pid)) || info.sink == PA_INVALID_INDEX) {
    removeRecorder(info.index);
    return;
  }
  auto output = outputs_.find(info.sink);
  if (output == outputs_.end()) {
    removeRecorder(info.index);
    requestOutput(info.sink);  // then every stream is looked at again
    return;
  }
  auto recorder = recorders_.find(info.index);
  if (recorder != recorders_.end() && recorder->second->sink == info.sink) return;
  // A recording that the server ended while the stream stayed put is not retried there.
  if (auto failed = failed_.find(info.index);
      failed != failed_.end() && failed->second == info.sink)
    return;
  removeRecorder(info.index);
  addRecorder(info.index, *output->second);
}

void PulseStream::addRecorder(uint32_t sinkInput, const Output& output) {
  const uint32_t channels = output.channels.channels;
  auto recorder = std::make_unique<Recorder>(
      Recorder{this, sinkInput, output.index, nextSource_++, channels, nullptr, nullptr});
  failed_.erase(sinkInput);
  mixer_->addSource(recorder->source);
  Recorder& added = *recorders_.emplace(sinkInput, std::move(recorder)).first->second;
  if (!ownConnections_) return startRecording(added, connection_->context());
  // Recorded once its connection is up.
  auto context = connection_->newContext();
  if (!context) return fail(context.error());
  added.context = *context;
  pa_context_set_state_callback(added.context, &PulseStream::onRecorderConnection, &added);
  if (pa_context_connect(added.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
    fail(callError(kRecordFailed, "pa_context_connect", pa_context_errno(added.context)));
}

void PulseStream::startRecording(Recorder& recorder, pa_context* context) {
  const auto output = outputs_.find(recorder.sink);
  if (output == outputs_.end()) return;  // gone meanwhile: its streams are looked at again
  // The output's own layout, mixed down here: a server's own downmix may raise the level and
  // clip.
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE, rate_,
                                  static_cast<uint8_t>(recorder.channels)};
  if (!pa_sample_spec_valid(&sampleSpec)) return fail(formatError(sampleSpec));
  recorder.stream =
      connectRecord(context, "Brimlow system audio (one stream)", sampleSpec,
                    &output->second->channels, output->second->monitor, recorder.sinkInput,
                    &recorder, &PulseStream::onRecorderState, &PulseStream::onRecorderRead);
}

void PulseStream::onRecorderConnection(pa_context* context, void* userdata) {
  auto* recorder = static_cast<Recorder*>(userdata);
  PulseStream* self = recorder->owner;
  if (self->ended_) return;
  const auto state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) return self->startRecording(*recorder, context);
  if (PA_CONTEXT_IS_GOOD(state)) return;
  if (recorder->endingSince != 0) return self->removeRecorder(recorder->sinkInput);
  self->recordingEnded(*recorder);
}

void PulseStream::removeRecorder(uint32_t sinkInput) {
  auto it = recorders_.find(sinkInput);
  if (it == recorders_.end()) return;
  auto recorder = std::move(it->second);
  recorders_.erase(it);
  retire(recorder->stream);
  retire(recorder->context);
  mixer_->removeSource(recorder->source);
}

// With a connection per recording, the removal comes on the shared connection while the
// stream's last fragments may still wait on its own: ending it here would lose them. The server
// ends a recording whose stream is gone after the sound it had for it.
void PulseStream::inputRemoved(uint32_t sinkInput) {
  failed_.erase(sinkInput);
  auto it = recorders_.find(sinkInput);
  if (it == recorders_.end()) return;
  Recorder& recorder = *it->second;
  if (!recorder.stream || pa_stream_get_state(recorder.stream) != PA_STREAM_READY)
    return removeRecorder(sinkInput);
  if (recorder.endingSince == 0) recorder.endingSince = pa_rtclock_now();
}

void PulseStream::dropEndedRecorders(pa_usec_t now) {
  // The server ends them within milliseconds; one that does not is not kept for ever.
  constexpr pa_usec_t kEndWait = 2 * PA_USEC_PER_SEC;
  std::vector<uint32_t> overdue;
  for (const auto& [sinkInput, recorder] : recorders_)
    if (recorder->endingSince != 0 && now - recorder->endingSince >= kEndWait)
      overdue.push_back(sinkInput);
  for (uint32_t sinkInput : overdue) removeRecorder(sinkInput);
}

void PulseStream::recordingEnded(Recorder& recorder) {
  const uint32_t sinkInput = recorder.sinkInput;
  failed_[sinkInput] = recorder.sink;
  removeRecorder(sinkInput);  // `recorder` is gone from here on
  lookAtInput(sinkInput);
}

// ---------------------------------------------------------------------------------------------
// Record streams

pa_stream* PulseStream::connectRecord(pa_context* context, const char* name,
                                      const pa_sample_spec& sampleSpec,
                                      const pa_channel_map* channels, const std::string& monitor,
                                      uint32_t sinkInput, void* userdata,
                                      pa_stream_notify_cb_t onState,
                                      pa_stream_request_cb_t onRead) {
  const char* what = sinkInput == PA_INVALID_INDEX ? kKeeperFailed : kRecordFailed;
  pa_stream* stream = pa_stream_new(context, name, &sampleSpec, channels);
  if (!stream) {
    fail(callError(what, "pa_stream_new", pa_context_errno(context)));
    return nullptr;
  }
  if (sinkInput != PA_INVALID_INDEX && pa_stream_set_monitor_stream(stream, sinkInput) < 0) {
    fail(callError(what, "pa_stream_set_monitor_stream", pa_context_errno(context)));
    retire(stream);
    return nullptr;
  }
  pa_stream_set_state_callback(stream, onState, userdata);
  pa_stream_set_read_callback(stream, onRead, userdata);
  pa_buffer_attr attr = bufferAttributes(sampleSpec);
  // Bound to this output: when a playback stream moves, a new recording follows it there.
  if (pa_stream_connect_record(
          stream, monitor.c_str(), &attr,
          static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0) {
    fail(callError(what, "pa_stream_connect_record", pa_context_errno(context)));
    retire(stream);
    return nullptr;
  }
  return stream;
}

// A stream may be inside its own callback here: it is disconnected now and released later.
void PulseStream::retire(pa_stream* stream) {
  if (!stream) return;
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  const auto state = pa_stream_get_state(stream);
  // A connection that failed has ended its streams already (their state may follow later).
  pa_context* context = pa_stream_get_context(stream);
  const bool connected = context && PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
  if (connected && (state == PA_STREAM_READY || state == PA_STREAM_CREATING) &&
      pa_stream_disconnect(stream) < 0)
    fail(callError(protocol::kRecordStopFailed, "pa_stream_disconnect", errorOf(stream)));
  retired_.push_back(stream);
}

void PulseStream::retire(pa_context* context) {
  if (!context) return;
  pa_context_set_state_callback(context, nullptr, nullptr);
  pa_context_disconnect(context);
  retiredContexts_.push_back(context);
}

void PulseStream::reap() {
  for (pa_stream* stream : retired_) pa_stream_unref(stream);
  retired_.clear();
  for (pa_context* context : retiredContexts_) pa_context_unref(context);
  retiredContexts_.clear();
}

template <class Use>
void PulseStream::readAll(pa_stream* stream, Use&& use) {
  for (;;) {
    const size_t readable = pa_stream_readable_size(stream);
    if (readable == static_cast<size_t>(-1))
      return fail(callError(kReadFailed, "pa_stream_readable_size", errorOf(stream)));
    if (readable == 0) return;
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0)
      return fail(callError(kReadFailed, "pa_stream_peek", errorOf(stream)));
    if (bytes == 0) return;  // nothing after all, and nothing to drop
    use(data, bytes);
    if (pa_stream_drop(stream) < 0)
      return fail(callError(kReadFailed, "pa_stream_drop", errorOf(stream)));
  }
}

void PulseStream::onKeeperRead(pa_stream* stream, size_t, void* userdata) {
  auto* output = static_cast<Output*>(userdata);
  PulseStream* self = output->owner;
  self->readAll(stream, [&](const void*, size_t bytes) {
    if (self->ended_) return;
    if (self->clockOutput_ == PA_INVALID_INDEX) {
      self->clockOutput_ = output->index;
      self->timerIsClock_ = false;
    }
    if (self->clockOutput_ == output->index) self->advanceClock(bytes / sizeof(int16_t));
  });
}

void PulseStream::onKeeperState(pa_stream* stream, void* userdata) {
  auto* output = static_cast<Output*>(userdata);
  auto state = pa_stream_get_state(stream);
  // Its output is going away; the output's own removal event follows.
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    if (output->owner->clockOutput_ == output->index)
      output->owner->clockOutput_ = PA_INVALID_INDEX;
    output->owner->retire(output->keeper);
    output->keeper = nullptr;
  }
}

// Each fragment is mixed down straight into the mixer: into the buffer that goes out when
// nothing else waits to be mixed with it, else into the stream's queue there.
void PulseStream::onRecorderRead(pa_stream* stream, size_t, void* userdata) {
  auto* recorder = static_cast<Recorder*>(userdata);
  PulseStream* self = recorder->owner;
  const uint32_t channels = recorder->channels;
  const size_t frameBytes = channels * sizeof(float);
  self->readAll(stream, [&](const void* data, size_t bytes) {
    if (self->ended_) return;
    const size_t frames = bytes / frameBytes;
    self->mixer_->fillSource(recorder->source, frames,
                             [&](float* mono) { downmix(data, channels, frames, mono); });
  });
}

void PulseStream::onRecorderState(pa_stream* stream, void* userdata) {
  auto* recorder = static_cast<Recorder*>(userdata);
  PulseStream* self = recorder->owner;
  auto state = pa_stream_get_state(stream);
  if (self->ended_ || (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED)) return;
  // Its stream is gone and everything it played has been read.
  if (recorder->endingSince != 0) return self->removeRecorder(recorder->sinkInput);
  // The stream it followed has ended or moved to another output (which ends its recordings
  // from this one); that is no failure of the capture.
  self->recordingEnded(*recorder);
}

void PulseStream::onSubscribe(pa_context*, pa_subscription_event_type_t event, uint32_t index,
                              void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  if (self->ended_) return;
  self->reap();
  const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
    if (type == PA_SUBSCRIPTION_EVENT_NEW) self->requestOutput(index);
    if (type == PA_SUBSCRIPTION_EVENT_REMOVE) self->removeOutput(index);
    return;
  }
  if (facility != PA_SUBSCRIPTION_EVENT_SINK_INPUT) return;
  if (type == PA_SUBSCRIPTION_EVENT_REMOVE) return self->inputRemoved(index);
  // New streams may name their output only in a later change, and a move is a change too.
  self->lookAtInput(index);
}

}  // namespace brimlow::platform::pulse
