// Long runs of brimlow-stt-helper in streaming mode, driven as a host drives it.
//
//   soak --helper PATH [--minutes M] [--data DIR] [--ahead N]
//       M minutes of audio (default 60): the recordings of pocketsphinx-testdata looped, 1.5 s of
//       faint noise between them, into one session, as fast as the helper takes it (at most N
//       recordings ahead of the last final, default 3). Checks that every line is JSON, that no
//       error comes, and that every recording gives exactly one final; samples resident memory.
//   soak --helper PATH --sessions N [--overlap yes]
//       N en-US sessions started and stopped one after another, each with one recording, the
//       next started once the last one's final came (with "--overlap yes": once its
//       "session.stopped" came, so that they overlap while they finish, as a host relaying
//       faster than the machine decodes would have them); resident memory after the first and
//       after all of them have ended.
#include <signal.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/helper_process.h"
#include "protocol/pcm_base64.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using brimlow::bench::Event;
using brimlow::bench::HelperProcess;
using brimlow::protocol::pcm16Base64;

constexpr size_t kChunk = 4000;  // 250 ms of 16 kHz audio
constexpr size_t kGap = 24000;   // 1.5 s between recordings

std::vector<std::vector<int16_t>> readRecordings(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> paths;
  for (const char* raw : {"goforward.raw", "numbers.raw", "something.raw"})
    paths.push_back(dir / raw);
  for (const auto& entry : std::filesystem::directory_iterator(dir / "librivox"))
    if (entry.path().extension() == ".wav") paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  std::vector<std::vector<int16_t>> recordings;
  for (const auto& path : paths) {
    std::vector<int16_t> samples;
    if (path.extension() == ".raw") {
      std::ifstream in(path, std::ios::binary);
      std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
      samples.resize(bytes.size() / 2);
      std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    } else {
      SF_INFO info{};
      SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
      if (!f) continue;
      samples.resize(static_cast<size_t>(info.frames));
      sf_read_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
      sf_close(f);
      if (info.samplerate != 16000 || info.channels != 1) continue;
    }
    if (!samples.empty()) recordings.push_back(std::move(samples));
  }
  return recordings;
}

// Resident memory of the helper now.
long rssMiB(const HelperProcess& helper) {
  const long kb = helper.statusKb("VmRSS:");
  return kb < 0 ? -1 : kb / 1024;
}

// The start-up check of the Japanese model fails on a machine without one; not a soak error.
bool isStartupNotice(const Event& e) {
  return e.body.value("message", "") == "SpeechAnalyzer does not support Japanese on this Mac";
}

size_t countErrors(const std::vector<Event>& events) {
  return static_cast<size_t>(std::count_if(events.begin(), events.end(), [](const Event& e) {
    return isType(e, "helper.error") && !isStartupNotice(e);
  }));
}

size_t countType(const std::vector<Event>& events, const char* type) {
  return static_cast<size_t>(
      std::count_if(events.begin(), events.end(), [&](const Event& e) { return isType(e, type); }));
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int soak(const std::string& helperPath, const std::vector<std::vector<int16_t>>& recordings,
         double minutes, size_t ahead) {
  HelperProcess helper(helperPath);
  helper.send({{"type", "session.start"}, {"sessionId", "soak"}, {"locale", "en-US"}});
  helper.waitUntil([](auto& e) { return countType(e, "session.ready") == 2; }, 60s);
  json samples = json::array();
  auto sample = [&](const std::string& label, double audioSeconds) {
    samples.push_back({{"at", label},
                       {"audioMinutes", audioSeconds / 60.0},
                       {"rssMiB", rssMiB(helper)},
                       {"finals", countType(helper.events(), "transcript.final")}});
    std::printf("memory %-18s %6.1f min of audio  %5ld MiB\n", label.c_str(), audioSeconds / 60,
                rssMiB(helper));
    std::fflush(stdout);
  };
  sample("start", 0);

  // Each recording is one utterance: where it starts and ends on the session's timeline.
  std::vector<std::pair<double, double>> spans;  // ms
  uint32_t seed = 12345;
  std::vector<int16_t> pending;
  int64_t sequence = 0;
  double fedSeconds = 0;
  auto feedChunks = [&](bool flush) {
    while (pending.size() >= kChunk || (flush && !pending.empty())) {
      pending.resize(std::max(pending.size(), kChunk), 0);
      helper.send({{"type", "audio"},
                   {"sessionId", "soak"},
                   {"source", "remote"},
                   {"sequence", sequence},
                   {"capturedAt", 250.0 * static_cast<double>(sequence)},
                   {"pcmBase64", pcm16Base64({pending.data(), kChunk})}});
      ++sequence;
      pending.erase(pending.begin(), pending.begin() + kChunk);
      fedSeconds += 0.25;
    }
  };
  const auto start = Clock::now();
  const double startCpu = helper.cpuSeconds();
  bool at10 = false;
  double timelineSamples = 0;
  for (size_t k = 0; fedSeconds < minutes * 60.0; ++k) {
    // The fastest pace the helper takes: no more than `ahead` recordings beyond the last final.
    if (k >= ahead) {
      helper.waitUntil([&](auto& e) { return countType(e, "transcript.final") + ahead >= k; }, 30s);
    }
    const auto& recording = recordings[k % recordings.size()];
    spans.emplace_back(timelineSamples / 16.0, (timelineSamples + recording.size()) / 16.0);
    pending.insert(pending.end(), recording.begin(), recording.end());
    for (size_t i = 0; i < kGap; ++i) {
      seed = seed * 1664525u + 1013904223u;
      pending.push_back(static_cast<int16_t>(static_cast<int>(seed >> 29) - 4));
    }
    timelineSamples += static_cast<double>(recording.size() + kGap);
    feedChunks(false);
    if (!at10 && fedSeconds >= 600) {
      at10 = true;
      sample("after 10 min", fedSeconds);
    }
  }
  feedChunks(true);
  helper.waitUntil([&](auto& e) { return countType(e, "transcript.final") >= spans.size(); }, 120s);
  sample("after all audio", fedSeconds);
  const double wall = secondsSince(start);
  const double cpu = helper.cpuSeconds() - startCpu;
  helper.send({{"type", "session.stop"}, {"sessionId", "soak"}});
  helper.waitIdle(2s);
  sample("end (stopped)", fedSeconds);
  const int exitCode = helper.finish();

  const auto events = helper.events();
  std::vector<int> perSpan(spans.size(), 0);
  size_t outside = 0;
  for (const auto& e : events) {
    if (!isType(e, "transcript.final")) continue;
    const double at = e.body.value("startedAt", -1.0);
    auto it = std::find_if(spans.begin(), spans.end(), [&](const auto& span) {
      return at >= span.first - 500 && at < span.second + kGap / 16.0;
    });
    if (it == spans.end())
      ++outside;
    else
      ++perSpan[static_cast<size_t>(it - spans.begin())];
  }
  const auto exactlyOne = std::count(perSpan.begin(), perSpan.end(), 1);
  const auto none = std::count(perSpan.begin(), perSpan.end(), 0);
  json report = {
      {"audioMinutes", fedSeconds / 60},
      {"wallSeconds", wall},
      {"realTimeFactorWall", wall / fedSeconds},
      {"cpuSeconds", cpu},
      {"chunks", sequence},
      {"utterances", spans.size()},
      {"finals", countType(events, "transcript.final")},
      {"partials", countType(events, "transcript.partial")},
      {"utterancesWithOneFinal", exactlyOne},
      {"utterancesWithoutFinal", none},
      {"utterancesWithSeveralFinals", static_cast<long>(spans.size()) - exactlyOne - none},
      {"finalsOutsideAnyUtterance", outside},
      {"errors", countErrors(events)},
      {"invalidLines", helper.invalidLines()},
      {"exitCode", exitCode},
      {"memory", samples}};
  std::printf("%s\n", report.dump(2).c_str());
  return report["invalidLines"] == 0 && report["errors"] == 0 && exitCode == 0 ? 0 : 1;
}

int sessions(const std::string& helperPath, const std::vector<int16_t>& recording, int count,
             bool overlap) {
  HelperProcess helper(helperPath);
  helper.waitUntil([](auto& e) { return e.size() >= 2; }, 30s);
  int64_t sequence = 0;
  long afterFirst = 0;
  const auto start = Clock::now();
  for (int s = 0; s < count; ++s) {
    const std::string id = "s" + std::to_string(s);
    helper.send({{"type", "session.start"}, {"sessionId", id}, {"locale", "en-US"}});
    std::vector<int16_t> audio = recording;
    audio.resize((audio.size() / kChunk + 5) * kChunk, 0);
    for (size_t at = 0; at < audio.size(); at += kChunk, ++sequence) {
      helper.send({{"type", "audio"},
                   {"sessionId", id},
                   {"source", "remote"},
                   {"sequence", sequence},
                   {"capturedAt", 250.0 * static_cast<double>(sequence)},
                   {"pcmBase64", pcm16Base64({audio.data() + at, kChunk})}});
    }
    helper.send({{"type", "session.stop"}, {"sessionId", id}});
    const char* awaited = overlap ? "session.stopped" : "transcript.final";
    helper.waitUntil(
        [&](auto& e) {
          return std::any_of(e.begin(), e.end(), [&](const Event& x) {
            return isType(x, awaited) && x.body.value("sessionId", "") == id;
          });
        },
        120s);
    if (s == 0) {
      helper.waitIdle(2s);
      afterFirst = rssMiB(helper);
    }
    if ((s + 1) % 50 == 0) {
      std::printf("%4d sessions started and stopped: %5ld MiB\n", s + 1, rssMiB(helper));
      std::fflush(stdout);
    }
  }
  helper.waitIdle(2s);
  const long afterAll = rssMiB(helper);
  const auto events = helper.events();
  json report = {{"sessions", count},
                 {"overlap", overlap},
                 {"wallSeconds", secondsSince(start)},
                 {"rssAfterFirstMiB", afterFirst},
                 {"rssAfterAllMiB", afterAll},
                 {"finals", countType(events, "transcript.final")},
                 {"errors", countErrors(events)},
                 {"invalidLines", helper.invalidLines()},
                 {"exitCode", helper.finish()}};
  std::printf("%s\n", report.dump(2).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::string helperPath;
  std::string data = "/usr/share/pocketsphinx/test/data";
  double minutes = 60;
  size_t ahead = 3;
  int sessionCount = 0;
  bool overlap = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--helper") helperPath = argv[i + 1];
    if (option == "--data") data = argv[i + 1];
    if (option == "--minutes") minutes = std::stod(argv[i + 1]);
    if (option == "--ahead") ahead = std::stoul(argv[i + 1]);
    if (option == "--sessions") sessionCount = std::stoi(argv[i + 1]);
    if (option == "--overlap") overlap = std::string(argv[i + 1]) == "yes";
  }
  if (helperPath.empty()) {
    std::fprintf(stderr, "usage: soak --helper PATH [--minutes M | --sessions N]\n");
    return 64;
  }
  const auto recordings = readRecordings(data);
  if (recordings.empty()) {
    std::fprintf(stderr, "no recordings in %s\n", data.c_str());
    return 1;
  }
  if (sessionCount > 0) return sessions(helperPath, recordings.front(), sessionCount, overlap);
  return soak(helperPath, recordings, minutes, ahead);
}
