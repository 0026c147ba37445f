#include "audio-capture/program.h"

#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include "audio-capture/system_audio_capture.h"
#include "support/system/line_reader.h"

namespace brimlow::capture {

namespace {

[[noreturn]] void exitProcess(int code) {
  // Events go out unbuffered, so nothing is held back; skipping static destructors keeps the
  // listener, the audio queue and the sound server's thread from racing a teardown.
  std::_Exit(code);
}

}  // namespace

bool waitForStopCommand(int fd) {
  // The listener keeps what a long line's buffer grew to, as it always has (it lives as long as
  // the capture); LongLines::releaseMemory would give it back.
  platform::LineReader lines(fd, platform::LineReader::LongLines::keepMemory);
  for (std::string line; lines.next(line);)
    if (isStopCommand(line)) return true;
  return false;
}

void emitHealth(EventWriter& writer, platform::capture::CaptureService& service) {
  writer.write(encode(CaptureHealth{service.preflightAccess(),
                                    static_cast<int64_t>(targetSampleRate), int64_t{250}}));
}

void runCapture(WriterPtr writer, platform::capture::CapturePlatform platform, int inputFd) {
  asio::io_context mainQueue;
  auto work = asio::make_work_guard(mainQueue);
  auto capture = SystemAudioCapture::make(writer, platform);

  // Each request stops in a task of its own; a later request finds the stop begun and exits.
  auto stopAndExit = [capture](int code) {
    std::thread([capture, code] {
      capture->stop();
      exitProcess(code);
    }).detach();
  };

  asio::signal_set signals(mainQueue, SIGINT, SIGTERM);
  std::function<void()> awaitSignal = [&] {
    signals.async_wait([&](const asio::error_code& error, int) {
      if (error) return;
      stopAndExit(0);
      awaitSignal();
    });
  };
  awaitSignal();

  std::thread([&mainQueue, stopAndExit, inputFd] {
    waitForStopCommand(inputFd);
    asio::post(mainQueue, [stopAndExit] { stopAndExit(0); });
  }).detach();

  std::thread([capture, writer] {
    auto failure = capture->start();
    // A stop requested while the stream was being set up is not a failed start.
    if (failure && !capture->isStopping()) {
      writer->error(describe(*failure));
      exitProcess(1);
    }
  }).detach();

  mainQueue.run();
  exitProcess(0);  // not reached: the work guard keeps the queue running
}

int run(int argc, char** argv, platform::capture::CapturePlatform platform) {
  auto writer = std::make_shared<EventWriter>();
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::string mode = arguments.empty() ? std::string() : arguments[0];
  if (mode == "--health") {
    emitHealth(*writer, *platform.capture);
    return 0;
  }
  if (mode == "--capture") runCapture(writer, std::move(platform));
  writer->error("Usage: brimlow-audio-capture --health | --capture");
  return kExitUsage;
}

}  // namespace brimlow::capture
