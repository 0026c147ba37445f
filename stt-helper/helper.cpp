#include "stt-helper/helper.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include "stt-helper/modes.h"
#include "stt-helper/text.h"
#include "support/system/line_reader.h"
#include "support/system/reexec.h"

namespace brimlow::stt {

namespace {

[[noreturn]] void exitProcess(int code) {
  // Events go out unbuffered, so nothing is held back; skipping static destructors keeps the
  // reader thread and worker threads from racing a teardown.
  std::_Exit(code);
}

// SIGTERM and SIGINT end the helper as their default action does (the host and a supervising
// parent see death by that signal), but only once the event line being written is whole, so
// the host never reads half an event. Call before any other thread exists: the threads started
// later inherit the mask, so only the waiting thread ever takes these signals.
void endOnSignalsBetweenLines(const WriterPtr& writer) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  if (::pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return;
  auto wait = [writer, signals] {
    int signal = 0;
    while (::sigwait(&signals, &signal) != 0) {
    }
    // A host that stopped reading could hold a write forever; it gets its signal regardless.
    writer->holdForExit(std::chrono::seconds(2));
    ::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    std::_Exit(128 + signal);  // not reached: the default action ends the process
  };
  try {
    std::thread(wait).detach();
  } catch (const std::system_error&) {
    ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);  // no thread: plain default action
  }
}

void dispatch(const HelperCommand& command, SpeechBackend& backend, JSONLineWriter& writer,
              const std::string& defaultLocale) {
  const std::string& type = command.type;
  if (type == "ping") {
    writer.write(encode(Pong{command.sentAt.value_or(0.0), nowMilliseconds()}));
  } else if (type == "session.start") {
    if (!command.sessionId) return writer.error("session.start requires sessionId", {}, {});
    backend.startSession(*command.sessionId, command.locale.value_or(defaultLocale),
                         command.vocabulary.value_or(std::vector<std::string>{}),
                         command.echoCancellation.value_or(true));
  } else if (type == "audio") {
    if (!command.sessionId || !command.source || !command.sequence || !command.capturedAt ||
        !command.pcmBase64)
      return writer.error("audio requires sessionId, source, sequence, capturedAt, and pcmBase64",
                          {}, {});
    backend.appendAudio(*command.sessionId, *command.source, *command.sequence, *command.capturedAt,
                        *command.pcmBase64);
  } else if (type == "source.suppress") {
    if (!command.sessionId || !command.source || !command.suppressed)
      return writer.error("source.suppress requires sessionId, source, and suppressed", {}, {});
    backend.setSuppressed(*command.sessionId, *command.source, *command.suppressed);
  } else if (type == "session.stop") {
    if (!command.sessionId) return writer.error("session.stop requires sessionId", {}, {});
    backend.stopSession(*command.sessionId);
  } else if (type == "shutdown") {
    backend.stopAll();
    exitProcess(0);
  } else {
    writer.error("Unsupported command type: " + type, command.sessionId, command.source);
  }
}

}  // namespace

void runStreaming(WriterPtr writer, platform::HelperPlatform platform,
                  const BackendFactory& factory, int inputFd, const Settings& settings) {
  asio::io_context mainQueue;
  auto work = asio::make_work_guard(mainQueue);
  BackendContext context{writer, std::move(platform), mainQueue, settings};
  std::unique_ptr<SpeechBackend> backend = factory(context);
  backend->emitStatus();

  SpeechBackend* backendPtr = backend.get();
  std::thread reader(
      [&mainQueue, writer, backendPtr, inputFd, defaultLocale = settings.defaultLocale] {
        platform::LineReader lines(inputFd);
        std::string line;
        while (lines.next(line)) {
          if (!isBlank(line)) {
            auto decoded = decodeHelperCommand(line);
            if (decoded) {
              asio::post(mainQueue,
                         [command = std::move(decoded.value()), backendPtr, writer, defaultLocale] {
                           dispatch(command, *backendPtr, *writer, defaultLocale);
                         });
            } else {
              writer->error("Invalid JSON command: " + decoded.error(), {}, {});
            }
          }
        }
        asio::post(mainQueue, [backendPtr] {
          backendPtr->stopAll();
          exitProcess(0);
        });
      });
  reader.detach();
  mainQueue.run();
  exitProcess(0);  // not reached: the work guard keeps the queue running
}

int run(int argc, char** argv, const Settings& settings, platform::HelperPlatform platform,
        BackendFactory factory) {
  platform::reexecDisclaimedIfNeeded(argc, argv, settings.disclaimed);
  auto writer = std::make_shared<JSONLineWriter>();
  endOnSignalsBetweenLines(writer);
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::string mode = arguments.empty() ? std::string() : arguments[0];

  if (mode == "--research-transcribe-file") {
    if (arguments.size() != 3) {
      writer->error("Usage: --research-transcribe-file <wav-path> <vocabulary-json-path>", {}, {});
      return 2;
    }
    return runResearchMode(writer, platform, arguments[1], arguments[2], settings.researchLocale);
  }
  if (mode == "--health") return emitHealth(writer, platform, settings.defaultLocale);
  if (mode == "--authorize") return requestLegacyAuthorization(writer, platform);
  if (mode == "--install-assets") {
    return installSpeechAnalyzerAssets(
        writer, platform, arguments.size() > 1 ? arguments[1] : settings.defaultLocale);
  }
  runStreaming(writer, std::move(platform), factory, 0, settings);
}

}  // namespace brimlow::stt
