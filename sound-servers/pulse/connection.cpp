#include "sound-servers/pulse/connection.h"

#include <cstdlib>

#include "protocol/capture_texts.h"

namespace brimlow::platform::pulse {

namespace {

constexpr const char* kClientName = "Brimlow Audio Capture";
using protocol::kServerConnectFailed;
using protocol::kServerPrepareFailed;

}  // namespace

CaptureError callError(const std::string& what, const char* call, int code) {
  return CaptureError{"pulse", code, what + "（" + call + "() failed: " + pa_strerror(code) + "）"};
}

CaptureError callError(const std::string& what, const char* call) {
  return CaptureError{"pulse", PA_ERR_INTERNAL, what + "（" + call + "() failed）"};
}

CaptureError formatError(const pa_sample_spec& sampleSpec) {
  const char* format = pa_sample_format_to_string(sampleSpec.format);
  return CaptureError{"pulse", PA_ERR_NOTSUPPORTED,
                      std::string(protocol::kOutputFormatUnsupported) +
                          "（pa_sample_spec_valid() failed: " + std::string(format ? format : "?") +
                          " " + std::to_string(sampleSpec.rate) + " Hz " +
                          std::to_string(sampleSpec.channels) + " ch）"};
}

CaptureError serverError(const std::string& what, int code) {
  return CaptureError{"pulse", code, what + "（" + pa_strerror(code) + "）"};
}

CaptureError timeoutError(std::chrono::milliseconds timeout, const char* call) {
  return CaptureError{"pulse", PA_ERR_TIMEOUT,
                      std::string(protocol::kServerTimeoutBefore) +
                          std::to_string(timeout.count()) + protocol::kServerTimeoutAfter + "（" +
                          call + "() timed out）。"};
}

void Pending::end(bool ok) {
  failed = !ok;
  finished = true;
  connection->signal();
}

void Pending::onSuccess(pa_context*, int success, void* userdata) {
  static_cast<Pending*>(userdata)->end(success != 0);
}

Expected<std::unique_ptr<Connection>, CaptureError> Connection::open(
    std::chrono::milliseconds timeout) {
  std::unique_ptr<Connection> connection(new Connection(timeout));
  if (auto error = connection->start()) return unexpected(*error);
  LoopLock lock(connection->loop_);
  if (auto error = connection->connect()) return unexpected(*error);
  return connection;
}

// The loop, the context and the loop's thread; the destructor undoes whatever was done.
std::optional<CaptureError> Connection::start() {
  loop_ = pa_threaded_mainloop_new();
  if (!loop_) return callError(kServerPrepareFailed, "pa_threaded_mainloop_new");
  auto context = newContext();
  if (!context) return context.error();
  context_ = *context;
  pa_context_set_state_callback(context_, &Connection::onState, this);
  if (pa_threaded_mainloop_start(loop_) < 0)
    return callError(kServerPrepareFailed, "pa_threaded_mainloop_start");
  return std::nullopt;
}

Expected<pa_context*, CaptureError> Connection::newContext() const {
  std::unique_ptr<pa_proplist, decltype(&pa_proplist_free)> properties(pa_proplist_new(),
                                                                       &pa_proplist_free);
  if (pa_proplist_sets(properties.get(), PA_PROP_APPLICATION_NAME, kClientName) < 0 ||
      pa_proplist_sets(properties.get(), PA_PROP_APPLICATION_ID, "app.brimlow.audio-capture") < 0)
    return unexpected(callError(kServerPrepareFailed, "pa_proplist_sets"));
  pa_context* context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_),
                                                     kClientName, properties.get());
  if (!context) return unexpected(callError(kServerPrepareFailed, "pa_context_new_with_proplist"));
  return context;
}

// With the lock held.
std::optional<CaptureError> Connection::connect() {
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
    return callError(kServerConnectFailed, "pa_context_connect", pa_context_errno(context_));
  const bool settled = waitLocked([this] {
    auto state = pa_context_get_state(context_);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
  });
  if (!settled) return timeoutError(timeout_, "pa_context_connect");
  if (pa_context_get_state(context_) == PA_CONTEXT_READY) return std::nullopt;
  // The call went through; the connection it began failed afterwards (no server, no access).
  const int code = pa_context_errno(context_);
  return CaptureError{"pulse", code,
                      std::string(kServerConnectFailed) + "（connection failure after " +
                          "pa_context_connect(): " + pa_strerror(code) + "）"};
}

Connection::~Connection() {
  if (loop_) pa_threaded_mainloop_stop(loop_);
  if (context_) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  if (loop_) pa_threaded_mainloop_free(loop_);
}

void Connection::onState(pa_context* context, void* userdata) {
  auto* self = static_cast<Connection*>(userdata);
  if (self->stateHandler_) self->stateHandler_(pa_context_get_state(context));
  self->signal();
}

bool Connection::waitLocked(const std::function<bool()>& done) {
  struct Alarm {
    pa_threaded_mainloop* loop;
    bool rang = false;
  } alarm{loop_};
  timeval when;
  pa_gettimeofday(&when);
  pa_timeval_add(&when, static_cast<pa_usec_t>(timeout_.count()) * PA_USEC_PER_MSEC);
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

std::optional<CaptureError> Connection::finish(pa_operation* operation, Pending& pending,
                                               const char* call, const std::string& what) {
  if (!operation) return callError(what, call, pa_context_errno(context_));
  const bool settled = waitLocked([&] {
    return pending.finished || pa_operation_get_state(operation) != PA_OPERATION_RUNNING ||
           !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
  });
  if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  if (pending.finished && !pending.failed) return std::nullopt;
  if (!settled) return timeoutError(timeout_, call);
  return callError(what, call, pa_context_errno(context_));
}

std::optional<pid_t> processIdOf(const pa_proplist* properties) {
  const char* text =
      properties ? pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID) : nullptr;
  if (!text) return std::nullopt;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value <= 0) return std::nullopt;
  return static_cast<pid_t>(value);
}

}  // namespace brimlow::platform::pulse
