// The capture service on libpulse: its content query (content_query.cpp), its streams
// (pulse_stream.cpp, stream_following.cpp) and the connection they share (connection.cpp).
#include "sound-servers/pulse/pulse_capture.h"

#include "sound-servers/pulse/connection.h"
#include "sound-servers/pulse/content_query.h"
#include "sound-servers/pulse/pulse_stream.h"

namespace brimlow::platform::pulse {

namespace {

class PulseCaptureService final : public capture::CaptureService {
 public:
  explicit PulseCaptureService(PulseCaptureOptions options) : options_(options) {}

  void getShareableContent(
      bool, bool,
      std::function<void(Expected<capture::ShareableContent, CaptureError>)> done) override {
    done(queryContent(options_.serverTimeout));
  }

  std::shared_ptr<capture::Stream> makeStream(
      const capture::ContentFilter& filter, const capture::StreamConfiguration& configuration,
      std::weak_ptr<capture::StreamDelegate> delegate) override {
    return std::make_shared<PulseStream>(options_, filter, configuration, std::move(delegate));
  }

  bool preflightAccess() override { return Connection::open(options_.serverTimeout).has_value(); }

 private:
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

CapturePlatform makeLinuxCapturePlatform(OsVersion version) {
  return CapturePlatform{[version] { return version; }, pulse::makePulseCaptureService()};
}

}  // namespace brimlow::platform::capture
