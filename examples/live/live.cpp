// A small host: runs brimlow-audio-capture and brimlow-stt-helper, relays every captured chunk
// to the helper as "remote" audio of one session, and prints live captions.
//
//   brimlow-live [--locale en-US] [--vocabulary WORD]... [--seconds N]
//                [--capture PATH] [--helper PATH]
//
// Without --capture and --helper it runs the programs installed beside it (brimlow-live in
// /usr/bin runs /usr/bin/brimlow-audio-capture), or those of its own build tree. The helper
// gets the locale as its default (BRIMLOW_LOCALE), so that its status describes that locale.
// On a terminal the current partial is rewritten in place; each final gets its own line with
// its latency. Ctrl-C (or --seconds) stops capture, lets the helper write the session's last
// finals, and shuts both down once the session has finished.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "devtools/child_process.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// BRIMLOW_LOCALE when it is set, else en-US, the locale of the model Linux has.
std::string localeFromEnvironment() {
  const char* value = std::getenv("BRIMLOW_LOCALE");
  return value && *value ? value : "en-US";
}

struct Options {
  std::string locale = localeFromEnvironment();
  std::vector<std::string> vocabulary;
  double seconds = 0;  // 0: until Ctrl-C
  std::string capture;
  std::string helper;
};

void usage(const char* argv0) {
  std::fprintf(stderr,
               "usage: %s [--locale ID] [--vocabulary WORD]... [--seconds N] [--capture PATH] "
               "[--helper PATH]\n  defaults: --locale $BRIMLOW_LOCALE or en-US, run until Ctrl-C, "
               "programs installed beside this one or in its build tree\n",
               argv0);
}

struct Child {
  pid_t pid = -1;
  int in = -1;   // we write
  int out = -1;  // we read
  brimlow::devtools::LineSplitter lines;
  bool ended = false;

  bool start(const std::string& path, const std::vector<std::string>& args,
             std::map<std::string, std::optional<std::string>> env = {}) {
    brimlow::devtools::SpawnOptions options;
    options.args = args;
    options.env = std::move(env);
    options.unblockSignals = true;   // our blocked signals are ours only
    options.ownProcessGroup = true;  // Ctrl-C is ours to relay as a stop
    try {
      const auto child = brimlow::devtools::spawnOnPipes(path, options);
      pid = child.pid;
      in = child.in;
      out = child.out;
      return true;
    } catch (const std::runtime_error& error) {
      std::fprintf(stderr, "%s\n", error.what());
      return false;
    }
  }
  void send(const json& command) {
    if (in >= 0) brimlow::devtools::writeAll(in, command.dump() + "\n");
  }
  void closeInput() {
    if (in >= 0) ::close(in);
    in = -1;
  }
  // Reads what is available; returns complete lines.
  std::vector<std::string> readLines() {
    char buf[65536];
    ssize_t n = ::read(out, buf, sizeof buf);
    if (n <= 0) {
      ended = true;
      return {};
    }
    return lines.append(buf, static_cast<size_t>(n));
  }
  int wait() { return brimlow::devtools::waitForExitCode(pid); }
};

class Captions {
 public:
  explicit Captions(bool terminal) : terminal_(terminal) {}
  void partial(const std::string& text) {
    if (!terminal_) return;
    std::printf("\r\033[K… %s", text.c_str());
    std::fflush(stdout);
    open_ = true;
  }
  void final(const std::string& text, double latencyMs) {
    clearPartial();
    std::printf("%s  (%.0f ms)\n", text.c_str(), latencyMs);
    std::fflush(stdout);
  }
  void note(const std::string& text) {
    clearPartial();
    std::fprintf(stderr, "[%s]\n", text.c_str());
  }

 private:
  void clearPartial() {
    if (open_) std::printf("\r\033[K");
    open_ = false;
  }
  bool terminal_;
  bool open_ = false;
};

// A program of the same install (all three in one bin directory), else of the same build tree
// (this one in .../build/<preset>/examples/live, `relative` from .../build/<preset>).
std::string besideSelf(const char* argv0, const std::string& relative) {
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv0);
  dir = dir.substr(0, dir.rfind('/'));
  std::string installed = dir + relative.substr(relative.rfind('/'));
  if (::access(installed.c_str(), X_OK) == 0) return installed;
  return dir + "/../../" + relative;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  enum { kLocale = 1, kVocabulary, kSeconds, kCapture, kHelper, kHelp };
  const option longOptions[] = {{"locale", required_argument, nullptr, kLocale},
                                {"vocabulary", required_argument, nullptr, kVocabulary},
                                {"seconds", required_argument, nullptr, kSeconds},
                                {"capture", required_argument, nullptr, kCapture},
                                {"helper", required_argument, nullptr, kHelper},
                                {"help", no_argument, nullptr, kHelp},
                                {nullptr, 0, nullptr, 0}};
  for (int opt; (opt = getopt_long(argc, argv, "", longOptions, nullptr)) != -1;) {
    switch (opt) {
      case kLocale:
        options.locale = optarg;
        break;
      case kVocabulary:
        options.vocabulary.push_back(optarg);
        break;
      case kSeconds:
        options.seconds = std::atof(optarg);
        break;
      case kCapture:
        options.capture = optarg;
        break;
      case kHelper:
        options.helper = optarg;
        break;
      default:
        usage(argv[0]);
        return opt == kHelp ? 0 : 64;
    }
  }
  if (options.capture.empty())
    options.capture = besideSelf(argv[0], "audio-capture/brimlow-audio-capture");
  if (options.helper.empty()) options.helper = besideSelf(argv[0], "stt-helper/brimlow-stt-helper");

  // Ctrl-C and SIGTERM arrive on a descriptor, in the same loop as the programs' output.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  ::signal(SIGPIPE, SIG_IGN);

  Child helper, capture;
  if (!helper.start(options.helper, {}, {{"BRIMLOW_LOCALE", options.locale}})) return 1;
  if (!capture.start(options.capture, {"--capture"})) return 1;
  const std::string session = "live";
  helper.send({{"type", "session.start"},
               {"sessionId", session},
               {"locale", options.locale},
               {"vocabulary", options.vocabulary}});

  Captions captions(::isatty(1));
  const auto started = Clock::now();
  enum class Phase { running, flushing, done } phase = Phase::running;
  auto stopCapture = [&] {
    if (phase != Phase::running) return;
    capture.send({{"type", "stop"}});
    capture.closeInput();
  };

  while (phase != Phase::done) {
    pollfd fds[3] = {{signals, POLLIN, 0},
                     {capture.ended ? -1 : capture.out, POLLIN, 0},
                     {helper.ended ? -1 : helper.out, POLLIN, 0}};
    int timeout = -1;
    if (options.seconds > 0 && phase == Phase::running) {
      auto left = options.seconds * 1000 -
                  std::chrono::duration<double, std::milli>(Clock::now() - started).count();
      timeout = left < 0 ? 0 : static_cast<int>(left);
    }
    int rc = ::poll(fds, 3, timeout);
    if (rc < 0 && errno != EINTR) break;
    if (rc == 0 && phase == Phase::running) stopCapture();
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      if (::read(signals, &info, sizeof info) > 0) stopCapture();
    }
    if (fds[1].revents) {
      for (const auto& line : capture.readLines()) {
        json event = json::parse(line, nullptr, false);
        if (event.is_discarded()) continue;
        std::string type = event.value("type", "");
        if (type == "capture.audio") {
          helper.send({{"type", "audio"},
                       {"sessionId", session},
                       {"source", "remote"},
                       {"sequence", event["sequence"]},
                       {"capturedAt", event["capturedAt"]},
                       {"pcmBase64", event["pcmBase64"]}});
        } else if (type == "capture.status" || type == "capture.error") {
          captions.note("capture: " + event.value("message", type));
        }
      }
      if (capture.ended && phase != Phase::done) {
        // Capture is over (stopped or failed): finish the session, then shut the helper down.
        helper.send({{"type", "session.stop"}, {"sessionId", session}});
        phase = Phase::flushing;
      }
    }
    if (fds[2].revents) {
      for (const auto& line : helper.readLines()) {
        json event = json::parse(line, nullptr, false);
        if (event.is_discarded()) continue;
        std::string type = event.value("type", "");
        if (type == "transcript.partial") {
          captions.partial(event.value("text", ""));
        } else if (type == "transcript.final") {
          captions.final(event.value("text", ""), event.value("latencyMs", 0.0));
        } else if (type == "helper.status" || type == "helper.error") {
          captions.note("helper: " + event.value("status", "") + " " + event.value("message", ""));
        } else if (type == "session.ready" && !event.value("available", true)) {
          captions.note("helper: session not available for " + options.locale);
        } else if (type == "source.waiting" && event.value("waiting", false)) {
          captions.note("helper: audio waits for a free decoder");
        } else if (type == "session.finished") {
          // The session's last final has come: end of input stops the helper with code 0.
          helper.closeInput();
        }
      }
      if (helper.ended) phase = Phase::done;
    }
  }
  int captureCode = capture.wait();
  int helperCode = helper.wait();
  return captureCode == 0 && helperCode == 0 ? 0 : 1;
}
