// brimlow-audio-capture on a scripted capture service, so that process tests can drive the whole
// program over pipes. BRIMLOW_CAPTURE_SCRIPT names the script (see namedCaptureScript);
// BRIMLOW_PLATFORM_VERSION the reported system. SIGUSR1 makes the system stop the stream.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "audio-capture/program.h"
#include "audio-capture/settings.h"
#include "tests/scripted/scripted_capture.h"

int main(int argc, char** argv) {
  using namespace brimlow::platform;
  const char* name = std::getenv("BRIMLOW_CAPTURE_SCRIPT");
  auto script = scripted::namedCaptureScript(name ? name : "48k-stereo-float");
  if (!script) {
    std::fprintf(stderr, "unknown BRIMLOW_CAPTURE_SCRIPT\n");
    return 2;
  }
  auto service = std::make_shared<scripted::ScriptedCaptureService>(*script);

  // Blocked before any thread exists, so only the waiter below ever takes it.
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
  std::thread([service, usr1] {
    for (;;) {
      int signal = 0;
      if (sigwait(&usr1, &signal) != 0) continue;
      if (auto stream = service->lastStream()) {
        stream->systemStop(capture::CaptureError{"com.apple.ScreenCaptureKit.SCStreamErrorDomain",
                                                 -3821, "The stream was stopped by the system."});
      }
    }
  }).detach();

  const auto version = brimlow::capture::readSettings().osVersion;
  return brimlow::capture::run(argc, argv,
                               capture::CapturePlatform{[version] { return version; }, service});
}
