#include "platform/pulse/pulse_capture.h"

#include <dirent.h>
#include <pulse/pulseaudio.h>
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

struct SinkDescription {
  uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::string monitor;
  pa_channel_map channels{};
};

// ---------------------------------------------------------------------------------------------

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
  struct Recorder {
    PulseStream* owner;
    uint32_t sinkInput;
    pa_stream* stream = nullptr;
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

    Query<std::optional<SinkDescription>> sink{connection_.get()};
    bool found = connection_->waitForOperation(
        pa_context_get_sink_info_by_name(
            context, filter_.display.name.c_str(),
            [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
              auto* q = static_cast<Query<std::optional<SinkDescription>>*>(userdata);
              if (info && eol == 0) {
                q->value = SinkDescription{
                    info->index, info->name,
                    info->monitor_source_name ? info->monitor_source_name : "", info->channel_map};
                return;
              }
              q->finished = true;
              q->connection->signal();
            },
            &sink),
        sink.finished, timeout);
    if (!found && !sink.finished)
      return connection_->failure("出力装置を調べられませんでした", timeout);
    if (!sink.value || sink.value->monitor.empty())
      return CaptureError{"pulse", PA_ERR_NOENTITY,
                          "出力装置「" + filter_.display.name + "」が見つかりません。"};
    sinkIndex_ = sink.value->index;
    monitor_ = sink.value->monitor;
    channelMap_ = sink.value->channels;
    spec_.format = PA_SAMPLE_FLOAT32LE;
    spec_.rate = configuration_.sampleRate;
    spec_.channels = channelMap_.channels;
    if (!pa_sample_spec_valid(&spec_))
      return CaptureError{"pulse", PA_ERR_NOTSUPPORTED, "出力装置の音声形式を扱えません。"};
    attr_.maxlength = static_cast<uint32_t>(-1);
    attr_.tlength = static_cast<uint32_t>(-1);
    attr_.prebuf = static_cast<uint32_t>(-1);
    attr_.minreq = static_cast<uint32_t>(-1);
    // Left at its default the server sends in bursts with gaps of up to 2 s.
    attr_.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(
        static_cast<pa_usec_t>(options_.fragment.count()) * PA_USEC_PER_MSEC, &spec_));
    const size_t stallFrames = static_cast<size_t>(static_cast<double>(configuration_.sampleRate) *
                                                   options_.stall.count() / 1000.0);
    mixer_ = std::make_unique<StreamMixer>(
        spec_.channels, stallFrames,
        [this](const float* interleaved, size_t frames) { deliver(interleaved, frames); });

    connection_->setStateHandler([this](pa_context_state_t state) { onContextState(state); });

    // Watch playback streams come and go before listing them, so none slips between the two.
    pa_context_set_subscribe_callback(context, &PulseStream::onSubscribe, this);
    Query<bool> subscribed{connection_.get()};
    connection_->waitForOperation(pa_context_subscribe(
                                      context, PA_SUBSCRIPTION_MASK_SINK_INPUT,
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

    // The whole output, recorded only for its pace; it also keeps the output from idling, so
    // that the per-stream recordings start without delay.
    clock_ = pa_stream_new(context, "Brimlow system audio", &spec_, &channelMap_);
    if (!clock_) return connection_->failure("録音ストリームを作成できませんでした", timeout);
    pa_stream_set_state_callback(clock_, &PulseStream::onClockState, this);
    pa_stream_set_read_callback(clock_, &PulseStream::onClockRead, this);
    // Without DONT_MOVE a removed output would silently hand us another one.
    if (pa_stream_connect_record(
            clock_, monitor_.c_str(), &attr_,
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0)
      return connection_->failure("録音ストリームを開始できませんでした", timeout);
    pa_stream* clock = clock_;
    bool ready = connection_->waitLocked(
        [clock] {
          auto state = pa_stream_get_state(clock);
          return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        timeout);
    if (!ready) return timeoutError(timeout);
    if (pa_stream_get_state(clock_) != PA_STREAM_READY)
      return connection_->failure("録音ストリームを開始できませんでした", timeout);

    Query<std::vector<std::pair<uint32_t, bool>>> inputs{connection_.get()};
    inputs.value.clear();
    struct Listing {
      Query<std::vector<std::pair<uint32_t, bool>>>* query;
      PulseStream* self;
    } listing{&inputs, this};
    connection_->waitForOperation(
        pa_context_get_sink_input_info_list(
            context,
            [](pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
              auto* l = static_cast<Listing*>(userdata);
              if (info && eol == 0) {
                l->query->value.emplace_back(info->index, l->self->wanted(*info));
                return;
              }
              l->query->finished = true;
              l->query->connection->signal();
            },
            &listing),
        inputs.finished, timeout);
    if (!inputs.finished)
      return connection_->failure("再生ストリームを調べられませんでした", timeout);
    for (auto [index, wanted] : inputs.value)
      if (wanted) addRecorder(index);
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
      for (auto& [index, recorder] : recorders_) retire(*recorder);
      recorders_.clear();
      if (clock_) {
        pa_stream_set_state_callback(clock_, nullptr, nullptr);
        pa_stream_set_read_callback(clock_, nullptr, nullptr);
        pa_stream_disconnect(clock_);
        pa_stream_unref(clock_);
        clock_ = nullptr;
      }
      reap();
    }
    connection_.reset();  // stops the loop's thread, then disconnects
    mixer_.reset();
  }

  // Loop thread from here on.

  bool wanted(const pa_sink_input_info& info) const {
    if (info.sink != sinkIndex_) return false;
    auto pid = processIdOf(info.proplist);
    return !(pid && excluded_.count(*pid));
  }

  void addRecorder(uint32_t sinkInput) {
    if (recorders_.count(sinkInput) || ended_) return;
    auto recorder = std::make_unique<Recorder>(Recorder{this, sinkInput});
    recorder->stream = pa_stream_new(connection_->context(), "Brimlow system audio (one stream)",
                                     &spec_, &channelMap_);
    if (!recorder->stream) return;
    pa_stream_set_monitor_stream(recorder->stream, sinkInput);
    pa_stream_set_state_callback(recorder->stream, &PulseStream::onRecorderState, recorder.get());
    pa_stream_set_read_callback(recorder->stream, &PulseStream::onRecorderRead, recorder.get());
    if (pa_stream_connect_record(recorder->stream, monitor_.c_str(), &attr_,
                                 PA_STREAM_ADJUST_LATENCY) < 0) {
      pa_stream_set_state_callback(recorder->stream, nullptr, nullptr);
      pa_stream_set_read_callback(recorder->stream, nullptr, nullptr);
      pa_stream_unref(recorder->stream);
      return;
    }
    mixer_->addSource(sinkInput);
    recorders_.emplace(sinkInput, std::move(recorder));
  }

  void removeRecorder(uint32_t sinkInput) {
    auto it = recorders_.find(sinkInput);
    if (it == recorders_.end()) return;
    auto recorder = std::move(it->second);
    recorders_.erase(it);
    retire(*recorder);
    mixer_->removeSource(sinkInput);
  }

  // A stream may be inside its own callback here: it is disconnected now and released later.
  void retire(Recorder& recorder) {
    pa_stream_set_state_callback(recorder.stream, nullptr, nullptr);
    pa_stream_set_read_callback(recorder.stream, nullptr, nullptr);
    if (pa_stream_get_state(recorder.stream) == PA_STREAM_READY ||
        pa_stream_get_state(recorder.stream) == PA_STREAM_CREATING)
      pa_stream_disconnect(recorder.stream);
    retired_.push_back(recorder.stream);
  }

  void reap() {
    for (pa_stream* stream : retired_) pa_stream_unref(stream);
    retired_.clear();
  }

  void deliver(const float* interleaved, size_t frames) {
    if (ended_ || !queue_ || frames == 0 || frames > UINT32_MAX) return;
    audio::AudioFormat format{static_cast<double>(spec_.rate), spec_.channels,
                              audio::SampleFormat::float32};
    auto buffer = audio::PcmBuffer::make(format, static_cast<uint32_t>(frames));
    if (!buffer) return;
    for (uint32_t ch = 0; ch < spec_.channels; ++ch) {
      float* plane = buffer->floatChannelData(ch);
      for (size_t f = 0; f < frames; ++f) plane[f] = interleaved[f * spec_.channels + ch];
    }
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

  // Reads every fragment that is ready; `use` gets the frames (nullptr for a hole).
  template <class Use>
  void readAll(pa_stream* stream, Use&& use) {
    const size_t frameBytes = pa_frame_size(&spec_);
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      const size_t frames = bytes / frameBytes;
      if (data) {
        scratch_.resize(frames * spec_.channels);
        if (frames > 0) std::memcpy(scratch_.data(), data, frames * frameBytes);
        use(scratch_.data(), frames);
      } else {
        use(nullptr, frames);
      }
      pa_stream_drop(stream);
    }
  }

  static void onClockRead(pa_stream* stream, size_t, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    self->reap();
    self->readAll(stream, [self](const float*, size_t frames) {
      if (!self->ended_) self->mixer_->clockFrames(frames);
    });
  }

  static void onClockState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    self->connection_->signal();
    auto state = pa_stream_get_state(stream);
    if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
    int code = pa_context_errno(self->connection_->context());
    if (code == PA_ERR_KILLED)
      self->endWithError(pulseError(code, "取得していた出力装置が取り除かれました"));
    else
      self->endWithError(pulseError(code, "出力装置の録音が途切れました"));
  }

  static void onRecorderRead(pa_stream* stream, size_t, void* userdata) {
    auto* recorder = static_cast<Recorder*>(userdata);
    PulseStream* self = recorder->owner;
    const uint32_t id = recorder->sinkInput;
    self->readAll(stream, [self, id](const float* data, size_t frames) {
      if (self->ended_) return;
      if (data) {
        self->mixer_->sourceData(id, data, frames);
      } else {
        // A hole in the stream: its time passed without sound.
        self->silence_.assign(frames * self->spec_.channels, 0.0f);
        self->mixer_->sourceData(id, self->silence_.data(), frames);
      }
    });
  }

  static void onRecorderState(pa_stream* stream, void* userdata) {
    auto* recorder = static_cast<Recorder*>(userdata);
    auto state = pa_stream_get_state(stream);
    // The playback stream it followed has ended; that is no failure of the capture.
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
      recorder->owner->removeRecorder(recorder->sinkInput);
  }

  static void onSubscribe(pa_context* context, pa_subscription_event_type_t event, uint32_t index,
                          void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    if ((event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT) return;
    self->reap();
    if ((event & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
      self->removeRecorder(index);
      return;
    }
    // New streams may name their output only in a later change, so both are looked at.
    pa_operation* operation = pa_context_get_sink_input_info(
        context, index,
        [](pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
          auto* self = static_cast<PulseStream*>(userdata);
          if (!info || eol != 0 || self->ended_) return;
          if (self->wanted(*info))
            self->addRecorder(info->index);
          else
            self->removeRecorder(info->index);
        },
        self);
    if (operation) pa_operation_unref(operation);
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
  pa_sample_spec spec_{};
  pa_channel_map channelMap_{};
  pa_buffer_attr attr_{};
  uint32_t sinkIndex_ = PA_INVALID_INDEX;
  std::string monitor_;
  pa_stream* clock_ = nullptr;
  std::map<uint32_t, std::unique_ptr<Recorder>> recorders_;
  std::vector<pa_stream*> retired_;
  std::unique_ptr<StreamMixer> mixer_;
  std::vector<float> scratch_;
  std::vector<float> silence_;
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
