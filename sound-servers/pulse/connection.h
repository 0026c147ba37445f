#pragma once
// The sound server's connection as the stream and the content query share it: a threaded main
// loop with one connected context, waits with a deadline, queries run to their end, and the
// errors of failed calls.
//
// Errors follow pacat: a failed call is named with the library's own message, inside the
// description's parentheses, e.g. "サウンドサーバーに接続できませんでした（pa_context_connect()
// failed: Connection refused）". The text before the parentheses says what could not be done.
//
// Internal to sound-servers/pulse: libpulse types appear here and nowhere above this directory.
#include <sys/types.h>

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/capture/capture.h"
#include "platform/expected.h"

namespace brimlow::platform::pulse {

using capture::CaptureError;

// `what`（`call`() failed: the library's message for `code`）.
CaptureError callError(const std::string& what, const char* call, int code);
// `what`（`call`() failed）, for calls that leave no error code (those that return nullptr).
CaptureError callError(const std::string& what, const char* call);
// A sample format the server would refuse: `sampleSpec`, named in the detail.
CaptureError formatError(const pa_sample_spec& sampleSpec);
// An end that no call reports (the context failed, the last output went): `what`（the library's
// message for `code`）.
CaptureError serverError(const std::string& what, int code);
// The server did not answer `call` within `timeout`.
CaptureError timeoutError(std::chrono::milliseconds timeout, const char* call);

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

class Connection;

// How a wait for one operation ended.
struct Pending {
  Connection* connection;
  bool finished = false;
  bool failed = false;  // the server said no (the context's errno says why)

  void end(bool ok);
  // Callback of operations that report success (pa_context_subscribe and the like).
  static void onSuccess(pa_context*, int success, void* userdata);
};

// A query's replies, each handed to `each` on the loop's thread, and its end.
template <class Info, class Each>
struct Replies : Pending {
  Each* each;

  // Callback of operations that list (pa_context_get_sink_info_list and the like): every
  // entry, then the end (eol > 0) or a failure (eol < 0).
  static void onEntry(pa_context*, const Info* info, int eol, void* userdata) {
    auto* replies = static_cast<Replies*>(userdata);
    if (info && eol == 0) return (*replies->each)(*info);
    replies->end(eol >= 0);
  }
  // Callback of operations with one reply (pa_context_get_server_info): nullptr on failure.
  static void onReply(pa_context*, const Info* info, void* userdata) {
    auto* replies = static_cast<Replies*>(userdata);
    if (info) (*replies->each)(*info);
    replies->end(info != nullptr);
  }
};

template <class Info>
using ListCall = pa_operation* (*)(pa_context*, void (*)(pa_context*, const Info*, int, void*),
                                   void*);
template <class Info>
using ReplyCall = pa_operation* (*)(pa_context*, void (*)(pa_context*, const Info*, void*), void*);

// A threaded main loop with one connected context. Every wait has the deadline given to open.
class Connection {
 public:
  static Expected<std::unique_ptr<Connection>, CaptureError> open(
      std::chrono::milliseconds timeout);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }
  // Another context on the same loop, as this program's client, not connected yet; the caller
  // owns it and releases it before the connection ends.
  Expected<pa_context*, CaptureError> newContext() const;
  std::chrono::milliseconds timeout() const { return timeout_; }
  void signal() { pa_threaded_mainloop_signal(loop_, 0); }

  // Runs on the loop's thread after every change of the context's state.
  void setStateHandler(std::function<void(pa_context_state_t)> handler) {
    stateHandler_ = std::move(handler);
  }

  // With the lock held: waits until `done` holds or the deadline passes; true when done.
  bool waitLocked(const std::function<bool()>& done);

  // With the lock held: waits for `operation`, started by `call`, which reports through
  // `pending`; cancels it at the deadline so that its callback never sees the caller's state
  // afterwards. Nothing when it finished well, else an error that names the call.
  std::optional<CaptureError> finish(pa_operation* operation, Pending& pending, const char* call,
                                     const std::string& what);

  // With the lock held: runs a listing call to its end, handing every entry to `each`.
  template <class Info, class Each>
  std::optional<CaptureError> list(ListCall<Info> start, const char* call, const std::string& what,
                                   Each&& each) {
    Replies<Info, std::remove_reference_t<Each>> replies{{this}, &each};
    return finish(start(context_, &decltype(replies)::onEntry, &replies), replies, call, what);
  }
  // With the lock held: runs a call with one reply, handing it to `each`.
  template <class Info, class Each>
  std::optional<CaptureError> get(ReplyCall<Info> start, const char* call, const std::string& what,
                                  Each&& each) {
    Replies<Info, std::remove_reference_t<Each>> replies{{this}, &each};
    return finish(start(context_, &decltype(replies)::onReply, &replies), replies, call, what);
  }

 private:
  explicit Connection(std::chrono::milliseconds timeout) : timeout_(timeout) {}
  std::optional<CaptureError> start();
  std::optional<CaptureError> connect();
  static void onState(pa_context* context, void* userdata);

  const std::chrono::milliseconds timeout_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  std::function<void(pa_context_state_t)> stateHandler_;
};

// The process id that a client or playback stream declares in its properties.
std::optional<pid_t> processIdOf(const pa_proplist* properties);

}  // namespace brimlow::platform::pulse
