#include "platform/pulse/pulse_capture.h"

#include <dirent.h>
#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <asio/post.hpp>

#include "platform/pulse/stream_mixer.h"

namespace brimlow::platform::pulse {

namespace {

using capture::CaptureError;

constexpr const char* kClientName = "Brimlow Audio Capture";

CaptureError pulseError(int code, const std::string& what) {
  return CaptureError{"pulse", code, what + "（" + pa_strerror(code) + "）"};
}

CaptureError timeoutError(std::chrono::milliseconds timeout) {
  return CaptureError{
      "pulse", PA_ERR_TIMEOUT,
      "サウンドサーバーが" + std::to_string(timeout.count()) + " ms以内に応答しませんでした。"};
}

// Holds the loop's lock for a scope. Every libpulse call outside the loop's own thread needs it.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

// A threaded main loop with one connected context.
class Connection {
 public:
  static Expected<std::unique_ptr<Connection>, CaptureError> open(
      std::chrono::milliseconds timeout) {
    std::unique_ptr<Connection> connection(new Connection);
    connection->loop_ = pa_threaded_mainloop_new();
    if (!connection->loop_)
      return unexpected(CaptureError{"pulse", PA_ERR_INTERNAL,
                                     "サウンドサーバーとの通信を準備できませんでした。"});
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, kClientName);
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "app.brimlow.audio-capture");
    connection->context_ = pa_context_new_with_proplist(
        pa_threaded_mainloop_get_api(connection->loop_), kClientName, properties);
    pa_proplist_free(properties);
    if (!connection->context_)
      return unexpected(CaptureError{"pulse", PA_ERR_INTERNAL,
                                     "サウンドサーバーとの通信を準備できませんでした。"});
    pa_context_set_state_callback(connection->context_, &Connection::onState, connection.get());
    if (pa_threaded_mainloop_start(connection->loop_) < 0)
      return unexpected(CaptureError{"pulse", PA_ERR_INTERNAL,
                                     "サウンドサーバーとの通信を準備できませんでした。"});

    LoopLock lock(connection->loop_);
    pa_context* context = connection->context_;
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
      return unexpected(
          pulseError(pa_context_errno(context), "サウンドサーバーに接続できませんでした"));
    bool settled = connection->waitLocked(
        [context] {
          auto state = pa_context_get_state(context);
          return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        timeout);
    if (!settled) return unexpected(timeoutError(timeout));
    if (pa_context_get_state(context) != PA_CONTEXT_READY)
      return unexpected(
          pulseError(pa_context_errno(context), "サウンドサーバーに接続できませんでした"));
    return connection;
  }

  ~Connection() {
    if (loop_) pa_threaded_mainloop_stop(loop_);
    if (context_) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_set_subscribe_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    if (loop_) pa_threaded_mainloop_free(loop_);
  }

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }
  void signal() { pa_threaded_mainloop_signal(loop_, 0); }

  // Runs on the loop's thread after every change of the context's state.
  void setStateHandler(std::function<void(pa_context_state_t)> handler) {
    stateHandler_ = std::move(handler);
  }

  // With the lock held: waits until `done` holds or the deadline passes; true when done.
  bool waitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    struct Alarm {
      pa_threaded_mainloop* loop;
      bool rang = false;
    } alarm{loop_};
    timeval when;
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    pa_time_event* event = api->time_new(
        api, &when,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
          auto* a = static_cast<Alarm*>(userdata);
          a->rang = true;
          pa_threaded_mainloop_signal(a->loop, 0);
        },
        &alarm);
    while (!done() && !alarm.rang) pa_threaded_mainloop_wait(loop_);
    api->time_free(event);
    return done();
  }

  // With the lock held: waits for an operation that signals through `finished`; cancels it at
  // the deadline so that its callback never sees the caller's state afterwards.
  bool waitForOperation(pa_operation* operation, const bool& finished,
                        std::chrono::milliseconds timeout) {
    if (!operation) return false;
    bool done = waitLocked(
        [&] {
          return finished || pa_operation_get_state(operation) != PA_OPERATION_RUNNING ||
                 !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
        },
        timeout);
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return done && finished;
  }

  CaptureError failure(const std::string& what, std::chrono::milliseconds timeout) const {
    int code = pa_context_errno(context_);
    if (code == PA_OK) return timeoutError(timeout);
    return pulseError(code, what);
  }

 private:
  Connection() = default;
  static void onState(pa_context* context, void* userdata) {
    auto* self = static_cast<Connection*>(userdata);
    if (self->stateHandler_) self->stateHandler_(pa_context_get_state(context));
    self->signal();
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  std::function<void(pa_context_state_t)> stateHandler_;
};

// A query's result and its "finished" flag, filled on the loop's thread.
template <class T>
struct Query {
  Connection* connection;
  bool finished = false;
  T value{};
};

std::optional<pid_t> processIdOf(const pa_proplist* properties) {
  const char* text =
      properties ? pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID) : nullptr;
  if (!text) return std::nullopt;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value <= 0) return std::nullopt;
  return static_cast<pid_t>(value);
}

// ---------------------------------------------------------------------------------------------

// Records what the computer plays: every playback stream on every output, each from its output's
// monitor on its own (so that those of excluded processes can be left out, which the server
// cannot do), mixed into one mono signal. Outputs and streams are followed as they come, go and
// move between outputs; which output is the default does not matter. A clock keeps the signal's
// time while nothing plays, so chunks keep coming whatever the outputs do.
class PulseStream final : public capture::Stream, public std::enable_shared_from_this<PulseStream> {
 public:
  PulseStream(PulseCaptureOptions options, capture::ContentFilter filter,
              capture::StreamConfiguration configuration,
              std::weak_ptr<capture::StreamDelegate> delegate)
      : options_(options),
        filter_(std::move(filter)),
        configuration_(configuration),
        delegate_(std::move(delegate)) {
    for (const auto& app : filter_.excludedApplications) excluded_.insert(app.processID);
    if (configuration_.excludesCurrentProcessAudio) excluded_.insert(::getpid());
  }

  ~PulseStream() override { tearDown(); }

  std::optional<CaptureError> addStreamOutput(std::weak_ptr<capture::StreamOutput> output,
                                              capture::OutputType type,
                                              asio::any_io_executor queue) override {
    std::lock_guard guard(lifecycle_);
    // Only sound is recorded here; a screen output is accepted and never called.
    if (type == capture::OutputType::audio) {
      output_ = std::move(output);
      queue_ = std::move(queue);
    }
    return std::nullopt;
  }

  void startCapture(capture::Completion done) override {
    std::optional<CaptureError> error;
    {
      std::lock_guard guard(lifecycle_);
      error = setUp();
    }
    if (error) tearDown();
    done(std::move(error));
  }

  void stopCapture(capture::Completion done) override {
    tearDown();
    done(std::nullopt);
  }

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

  // With lifecycle_ held.
  std::optional<CaptureError> setUp() {
    if (connection_)
      return CaptureError{"pulse", PA_ERR_BADSTATE, "システム音声の取得はすでに開始されています。"};
    auto opened = Connection::open(options_.serverTimeout);
    if (!opened) return opened.error();
    connection_ = std::move(*opened);
    const auto timeout = options_.serverTimeout;
    LoopLock lock(connection_->loop());
    pa_context* context = connection_->context();

    rate_ = configuration_.sampleRate;
    const pa_sample_spec mono{PA_SAMPLE_FLOAT32LE, rate_, 1};
    if (!pa_sample_spec_valid(&mono))
      return CaptureError{"pulse", PA_ERR_NOTSUPPORTED, "出力装置の音声形式を扱えません。"};
    const size_t stallFrames = static_cast<size_t>(
        static_cast<double>(rate_) * static_cast<double>(options_.stall.count()) / 1000.0);
    mixer_ = std::make_unique<StreamMixer>(
        1, stallFrames, [this](const float* mono, size_t frames) { deliver(mono, frames); });

    connection_->setStateHandler([this](pa_context_state_t state) { onContextState(state); });

    // Watch outputs and playback streams come and go before listing them, so none slips between.
    pa_context_set_subscribe_callback(context, &PulseStream::onSubscribe, this);
    Query<bool> subscribed{connection_.get()};
    connection_->waitForOperation(
        pa_context_subscribe(
            context,
            static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                PA_SUBSCRIPTION_MASK_SINK_INPUT),
            [](pa_context*, int success, void* userdata) {
              auto* q = static_cast<Query<bool>*>(userdata);
              q->value = success != 0;
              q->finished = true;
              q->connection->signal();
            },
            &subscribed),
        subscribed.finished, timeout);
    if (!subscribed.value)
      return connection_->failure("再生ストリームを監視できませんでした", timeout);

    listingOutputs_ = true;  // the streams are listed next anyway
    const bool listed =
        listAll<pa_sink_info, &PulseStream::addOutput>(&pa_context_get_sink_info_list);
    listingOutputs_ = false;
    if (!listed) return connection_->failure("出力装置の一覧を得られませんでした", timeout);
    if (outputs_.empty())
      return CaptureError{"pulse", PA_ERR_NOENTITY, "音声の出力装置が見つかりません。"};
    if (!listAll<pa_sink_input_info, &PulseStream::lookAt>(&pa_context_get_sink_input_info_list))
      return connection_->failure("再生ストリームを調べられませんでした", timeout);

    lastClockAt_ = pa_rtclock_now();
    tick_ =
        pa_context_rttime_new(context, lastClockAt_ + timerPeriod(), &PulseStream::onTick, this);
    if (!tick_) return connection_->failure("録音の時計を始められませんでした", timeout);
    running_ = true;
    return std::nullopt;
  }

  void tearDown() {
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
      for (auto& [index, recorder] : recorders_) retire(recorder->stream);
      recorders_.clear();
      for (auto& [index, output] : outputs_) retire(output->keeper);
      outputs_.clear();
      reap();
    }
    connection_.reset();  // stops the loop's thread, then disconnects
    mixer_.reset();
  }

  // With the lock held: runs a list query, handing every entry to `Each`, until its end.
  template <class Info, void (PulseStream::*Each)(const Info&)>
  bool listAll(pa_operation* (*query)(pa_context*, void (*)(pa_context*, const Info*, int, void*),
                                      void*)) {
    struct Listing {
      PulseStream* self;
      bool finished = false;
    } listing{this};
    pa_operation* operation = query(
        connection_->context(),
        [](pa_context*, const Info* info, int eol, void* userdata) {
          auto* l = static_cast<Listing*>(userdata);
          if (info && eol == 0) {
            (l->self->*Each)(*info);
            return;
          }
          l->finished = true;
          l->self->connection_->signal();
        },
        &listing);
    return connection_->waitForOperation(operation, listing.finished, options_.serverTimeout);
  }

  pa_usec_t fragmentPeriod() const {
    return static_cast<pa_usec_t>(options_.fragment.count()) * PA_USEC_PER_MSEC;
  }
  // The timer stands in for the clock only after a silence of several stalls; waking up more
  // often than once a stall would buy nothing.
  pa_usec_t timerPeriod() const {
    return static_cast<pa_usec_t>(options_.stall.count()) * PA_USEC_PER_MSEC;
  }

  // Loop thread from here on (or another thread holding the loop's lock).

  static void forget(pa_operation* operation) {
    if (operation) pa_operation_unref(operation);
  }

  void addOutput(const pa_sink_info& info) {
    if (ended_ || outputs_.count(info.index) || !info.monitor_source_name) return;
    auto output = std::make_unique<Output>(
        Output{this, info.index, info.monitor_source_name, info.channel_map, nullptr});
    // Mono at the capture's rate: its frames are the clock's when it is the clock's output.
    const pa_sample_spec spec{PA_SAMPLE_S16LE, rate_, 1};
    pa_buffer_attr attr = bufferAttributes(spec);
    pa_stream* keeper =
        pa_stream_new(connection_->context(), "Brimlow output keeper", &spec, nullptr);
    if (keeper) {
      pa_stream_set_state_callback(keeper, &PulseStream::onKeeperState, output.get());
      pa_stream_set_read_callback(keeper, &PulseStream::onKeeperRead, output.get());
      if (pa_stream_connect_record(
              keeper, output->monitor.c_str(), &attr,
              static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0) {
        retire(keeper);
        keeper = nullptr;
      }
    }
    output->keeper = keeper;
    outputs_.emplace(info.index, std::move(output));
    // Streams that named this output before we knew of it are looked at again.
    if (!listingOutputs_) lookAtAllInputs();
  }

  void removeOutput(uint32_t index) {
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

  void confirmOutputsGone() {
    forget(pa_context_get_sink_info_list(
        connection_->context(),
        [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
          auto* self = static_cast<PulseStream*>(userdata);
          if (self->ended_) return;
          if (info && eol == 0) {
            self->addOutput(*info);
            return;
          }
          if (self->outputs_.empty())
            self->endWithError(pulseError(PA_ERR_KILLED, "取得していた出力装置が取り除かれました"));
        },
        this));
  }

  void requestOutput(uint32_t index) {
    forget(pa_context_get_sink_info_by_index(
        connection_->context(), index,
        [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
          auto* self = static_cast<PulseStream*>(userdata);
          if (info && eol == 0 && !self->ended_) self->addOutput(*info);
        },
        this));
  }

  void lookAtInput(uint32_t index) {
    forget(pa_context_get_sink_input_info(
        connection_->context(), index,
        [](pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
          auto* self = static_cast<PulseStream*>(userdata);
          if (info && eol == 0 && !self->ended_) self->lookAt(*info);
        },
        this));
  }

  void lookAtAllInputs() {
    forget(pa_context_get_sink_input_info_list(
        connection_->context(),
        [](pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
          auto* self = static_cast<PulseStream*>(userdata);
          if (info && eol == 0 && !self->ended_) self->lookAt(*info);
        },
        this));
  }

  // Brings the recording of one playback stream in line with where it plays now.
  void lookAt(const pa_sink_input_info& info) {
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

  pa_buffer_attr bufferAttributes(const pa_sample_spec& spec) const {
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    // Left at its default the server sends in bursts with gaps of up to 2 s.
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(fragmentPeriod(), &spec));
    return attr;
  }

  void addRecorder(uint32_t sinkInput, const Output& output) {
    // The output's own layout, mixed down here: a server's own downmix may raise the level and
    // clip.
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate_, output.channels.channels};
    if (!pa_sample_spec_valid(&spec)) return;
    pa_buffer_attr attr = bufferAttributes(spec);
    auto recorder = std::make_unique<Recorder>(
        Recorder{this, sinkInput, output.index, nextSource_++, spec.channels, nullptr});
    recorder->stream = pa_stream_new(connection_->context(), "Brimlow system audio (one stream)",
                                     &spec, &output.channels);
    if (!recorder->stream) return;
    pa_stream_set_monitor_stream(recorder->stream, sinkInput);
    pa_stream_set_state_callback(recorder->stream, &PulseStream::onRecorderState, recorder.get());
    pa_stream_set_read_callback(recorder->stream, &PulseStream::onRecorderRead, recorder.get());
    // Bound to this output: when the stream moves, a new recording follows it there.
    if (pa_stream_connect_record(
            recorder->stream, output.monitor.c_str(), &attr,
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0) {
      retire(recorder->stream);
      return;
    }
    failed_.erase(sinkInput);
    mixer_->addSource(recorder->source);
    recorders_.emplace(sinkInput, std::move(recorder));
  }

  void removeRecorder(uint32_t sinkInput) {
    auto it = recorders_.find(sinkInput);
    if (it == recorders_.end()) return;
    auto recorder = std::move(it->second);
    recorders_.erase(it);
    retire(recorder->stream);
    mixer_->removeSource(recorder->source);
  }

  // A stream may be inside its own callback here: it is disconnected now and released later.
  void retire(pa_stream* stream) {
    if (!stream) return;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    if (pa_stream_get_state(stream) == PA_STREAM_READY ||
        pa_stream_get_state(stream) == PA_STREAM_CREATING)
      pa_stream_disconnect(stream);
    retired_.push_back(stream);
  }

  void reap() {
    for (pa_stream* stream : retired_) pa_stream_unref(stream);
    retired_.clear();
  }

  void deliver(const float* mono, size_t frames) {
    if (ended_ || !queue_ || frames == 0 || frames > UINT32_MAX) return;
    const uint32_t channels = std::max<uint32_t>(1, configuration_.channelCount);
    audio::AudioFormat format{static_cast<double>(rate_), channels, audio::SampleFormat::float32};
    auto buffer = audio::PcmBuffer::make(format, static_cast<uint32_t>(frames));
    if (!buffer) return;
    for (uint32_t ch = 0; ch < channels; ++ch)
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

  void endWithError(CaptureError error) {
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

  void onContextState(pa_context_state_t state) {
    if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
      endWithError(pulseError(pa_context_errno(connection_->context()),
                              "サウンドサーバーとの接続が切れました"));
  }

  // Reads every fragment that is ready; `use` gets its bytes (nullptr for a hole).
  template <class Use>
  static void readAll(pa_stream* stream, Use&& use) {
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      use(data, bytes);
      pa_stream_drop(stream);
    }
  }

  // The clock: the frames that one output's keeper reads, so that when the server falls behind
  // the clock falls behind with the recordings and no stream looks stalled. Only when no keeper
  // has read anything for a while (no output left, or none that delivers) does the timer keep
  // time instead.
  void advanceClock(size_t frames) {
    lastClockAt_ = pa_rtclock_now();
    mixer_->clockFrames(frames);
  }

  static void onTick(pa_mainloop_api*, pa_time_event* event, const timeval*, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    if (self->ended_) return;
    self->reap();
    const pa_usec_t now = pa_rtclock_now();
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

  static void onKeeperRead(pa_stream* stream, size_t, void* userdata) {
    auto* output = static_cast<Output*>(userdata);
    PulseStream* self = output->owner;
    readAll(stream, [&](const void*, size_t bytes) {
      if (self->ended_) return;
      if (self->clockOutput_ == PA_INVALID_INDEX) {
        self->clockOutput_ = output->index;
        self->timerIsClock_ = false;
      }
      if (self->clockOutput_ == output->index) self->advanceClock(bytes / sizeof(int16_t));
    });
  }

  static void onKeeperState(pa_stream* stream, void* userdata) {
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

  static void onRecorderRead(pa_stream* stream, size_t, void* userdata) {
    auto* recorder = static_cast<Recorder*>(userdata);
    PulseStream* self = recorder->owner;
    const uint32_t channels = recorder->channels;
    const size_t frameBytes = channels * sizeof(float);
    readAll(stream, [&](const void* data, size_t bytes) {
      if (self->ended_) return;
      const size_t frames = bytes / frameBytes;
      auto& mono = self->mono_;
      mono.assign(frames, 0.0f);  // a hole in the stream: its time passed without sound
      if (data) {
        // Copied out first: the server's memory need not be aligned for floats.
        self->frame_.resize(frames * channels);
        std::memcpy(self->frame_.data(), data, frames * frameBytes);
        const float* in = self->frame_.data();
        const float scale = 1.0f / static_cast<float>(channels);
        for (size_t f = 0; f < frames; ++f) {
          float sum = 0.0f;
          for (uint32_t ch = 0; ch < channels; ++ch) sum += in[f * channels + ch];
          mono[f] = sum * scale;
        }
      }
      self->mixer_->sourceData(recorder->source, mono.data(), frames);
    });
  }

  static void onRecorderState(pa_stream* stream, void* userdata) {
    auto* recorder = static_cast<Recorder*>(userdata);
    PulseStream* self = recorder->owner;
    auto state = pa_stream_get_state(stream);
    if (self->ended_ || (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED)) return;
    // The stream it followed has ended or moved to another output (which ends its recordings
    // from this one); that is no failure of the capture.
    const uint32_t sinkInput = recorder->sinkInput;
    self->failed_[sinkInput] = recorder->sink;
    self->removeRecorder(sinkInput);  // `recorder` is gone from here on
    self->lookAtInput(sinkInput);
  }

  static void onSubscribe(pa_context*, pa_subscription_event_type_t event, uint32_t index,
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
    if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
      self->removeRecorder(index);
      self->failed_.erase(index);
      return;
    }
    // New streams may name their output only in a later change, and a move is a change too.
    self->lookAtInput(index);
  }

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
  std::vector<pa_stream*> retired_;
  std::unique_ptr<StreamMixer> mixer_;
  pa_time_event* tick_ = nullptr;
  uint32_t clockOutput_ = PA_INVALID_INDEX;  // whose keeper is the clock
  bool timerIsClock_ = false;
  pa_usec_t lastClockAt_ = 0;
  std::vector<float> frame_;
  std::vector<float> mono_;
  bool listingOutputs_ = false;
  bool running_ = false;
  bool ended_ = false;
};
// ---------------------------------------------------------------------------------------------

std::vector<capture::RunningApplication> runningProcesses() {
  std::vector<capture::RunningApplication> processes;
  DIR* proc = ::opendir("/proc");
  if (!proc) return processes;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 0) continue;
    std::ifstream comm(std::string("/proc/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    processes.push_back({static_cast<pid_t>(pid), name});
  }
  ::closedir(proc);
  std::sort(processes.begin(), processes.end(),
            [](const auto& a, const auto& b) { return a.processID < b.processID; });
  return processes;
}

class PulseCaptureService final : public capture::CaptureService {
 public:
  explicit PulseCaptureService(PulseCaptureOptions options) : options_(options) {}

  void getShareableContent(
      bool, bool,
      std::function<void(Expected<capture::ShareableContent, CaptureError>)> done) override {
    done(queryContent());
  }

  std::shared_ptr<capture::Stream> makeStream(
      const capture::ContentFilter& filter, const capture::StreamConfiguration& configuration,
      std::weak_ptr<capture::StreamDelegate> delegate) override {
    return std::make_shared<PulseStream>(options_, filter, configuration, std::move(delegate));
  }

  bool preflightAccess() override { return Connection::open(options_.serverTimeout).has_value(); }

 private:
  Expected<capture::ShareableContent, CaptureError> queryContent() {
    auto opened = Connection::open(options_.serverTimeout);
    if (!opened) return unexpected(opened.error());
    auto& connection = *opened;
    const auto timeout = options_.serverTimeout;
    capture::ShareableContent content;
    {
      LoopLock lock(connection->loop());
      pa_context* context = connection->context();

      Query<std::string> server{connection.get()};
      connection->waitForOperation(pa_context_get_server_info(
                                       context,
                                       [](pa_context*, const pa_server_info* info, void* userdata) {
                                         auto* q = static_cast<Query<std::string>*>(userdata);
                                         if (info && info->default_sink_name)
                                           q->value = info->default_sink_name;
                                         q->finished = true;
                                         q->connection->signal();
                                       },
                                       &server),
                                   server.finished, timeout);
      if (!server.finished)
        return unexpected(
            connection->failure("サウンドサーバーの情報を得られませんでした", timeout));

      Query<std::vector<capture::Display>> sinks{connection.get()};
      connection->waitForOperation(
          pa_context_get_sink_info_list(
              context,
              [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
                auto* q = static_cast<Query<std::vector<capture::Display>>*>(userdata);
                if (info && eol == 0) {
                  q->value.push_back({info->index, info->name});
                  return;
                }
                q->finished = true;
                q->connection->signal();
              },
              &sinks),
          sinks.finished, timeout);
      if (!sinks.finished)
        return unexpected(connection->failure("出力装置の一覧を得られませんでした", timeout));
      // The default output first, the rest in the server's order.
      std::stable_partition(sinks.value.begin(), sinks.value.end(),
                            [&](const capture::Display& d) { return d.name == server.value; });
      content.displays = std::move(sinks.value);

      Query<std::vector<capture::RunningApplication>> clients{connection.get()};
      connection->waitForOperation(
          pa_context_get_client_info_list(
              context,
              [](pa_context*, const pa_client_info* info, int eol, void* userdata) {
                auto* q = static_cast<Query<std::vector<capture::RunningApplication>>*>(userdata);
                if (info && eol == 0) {
                  if (auto pid = processIdOf(info->proplist))
                    q->value.push_back({*pid, info->name ? info->name : ""});
                  return;
                }
                q->finished = true;
                q->connection->signal();
              },
              &clients),
          clients.finished, timeout);
      content.applications = std::move(clients.value);
    }
    // Any process may start playing later, so every running one can be left out, not only
    // those connected to the server now.
    std::set<pid_t> listed;
    for (const auto& app : content.applications) listed.insert(app.processID);
    for (auto& process : runningProcesses())
      if (listed.insert(process.processID).second) content.applications.push_back(process);
    return content;
  }

  PulseCaptureOptions options_;
};

}  // namespace

std::shared_ptr<capture::CaptureService> makePulseCaptureService(PulseCaptureOptions options) {
  return std::make_shared<PulseCaptureService>(options);
}

}  // namespace brimlow::platform::pulse

#if defined(__SANITIZE_THREAD__)
// libpulse is not built for ThreadSanitizer: it publishes its mutexes through atomics that the
// sanitizer cannot see, so their first use looks like a race. Everything libpulse does for us
// still goes through those mutexes, which the sanitizer does see.
extern "C" const char* __tsan_default_suppressions() {
  return "race:pa_mutex_lock\n";
}
#endif

namespace brimlow::platform::capture {

CapturePlatform makeLinuxCapturePlatform() {
  return CapturePlatform{linuxReportedOsVersion, pulse::makePulseCaptureService()};
}

}  // namespace brimlow::platform::capture
