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
#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sodium.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

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

std::string base64(const int16_t* samples, size_t count) {
  std::vector<unsigned char> bytes(count * 2);
  std::memcpy(bytes.data(), samples, bytes.size());  // little-endian host
  std::string out(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.resize(std::strlen(out.c_str()));
  return out;
}

// The helper as a child process; a reader thread parses and counts every line.
class Helper {
 public:
  explicit Helper(const std::string& path) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) throw std::runtime_error("pipe");
    std::string arg0 = path;
    char* argv[] = {arg0.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (rc != 0) throw std::runtime_error("cannot start " + path);
    stdin_ = in[1];
    stdout_ = out[0];
    reader_ = std::thread([this] { readLoop(); });
  }
  ~Helper() {
    closeStdin();
    int status = 0;
    waitpid(pid_, &status, 0);
    reader_.join();
    close(stdout_);
  }
  int finish() {
    closeStdin();
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  void send(const json& command) {
    const std::string text = command.dump() + "\n";
    for (size_t done = 0; done < text.size();) {
      ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("helper closed its input");
      done += static_cast<size_t>(n);
    }
  }
  void closeStdin() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }
  bool waitUntil(const std::function<bool(const std::vector<json>&)>& done,
                 std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(events_) || ended_; }) &&
           done(events_);
  }
  // Until no event came and the helper used almost no CPU for `quiet`.
  void waitIdle(std::chrono::milliseconds quiet) {
    std::unique_lock lock(mutex_);
    while (!ended_) {
      const size_t seen = events_.size();
      const double cpu = cpuSeconds();
      changed_.wait_for(lock, quiet, [&] { return events_.size() != seen || ended_; });
      if (events_.size() == seen && cpuSeconds() - cpu < 0.02 * quiet.count() / 1000.0) return;
    }
  }
  std::vector<json> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  size_t invalidLines() {
    std::lock_guard lock(mutex_);
    return invalid_;
  }
  long rssMiB() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);)
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6) / 1024;
    return -1;
  }
  double cpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), {});
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::vector<std::string> fields;
    for (std::string f; rest >> f;) fields.push_back(f);
    if (fields.size() < 13) return 0;
    return (std::stod(fields[11]) + std::stod(fields[12])) / sysconf(_SC_CLK_TCK);
  }

 private:
  void readLoop() {
    std::string buffer;
    char block[65536];
    for (;;) {
      ssize_t n = read(stdout_, block, sizeof block);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      buffer.append(block, static_cast<size_t>(n));
      size_t start = 0;
      std::lock_guard lock(mutex_);
      for (size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
        json event = json::parse(buffer.substr(start, nl - start), nullptr, false);
        if (event.is_discarded() || !event.is_object() || !event.contains("type"))
          ++invalid_;
        else
          events_.push_back(std::move(event));
      }
      buffer.erase(0, start);
      changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    if (!buffer.empty()) ++invalid_;  // a last line without its line feed
    ended_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<json> events_;
  size_t invalid_ = 0;
  bool ended_ = false;
};

// The start-up check of the Japanese model fails on a machine without one; not a soak error.
bool isStartupNotice(const json& e) {
  return e.value("message", "") == "SpeechAnalyzer does not support Japanese on this Mac";
}

size_t countErrors(const std::vector<json>& events) {
  return static_cast<size_t>(std::count_if(events.begin(), events.end(), [](const json& e) {
    return e.value("type", "") == "helper.error" && !isStartupNotice(e);
  }));
}

size_t countType(const std::vector<json>& events, const char* type) {
  return static_cast<size_t>(std::count_if(
      events.begin(), events.end(), [&](const json& e) { return e.value("type", "") == type; }));
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int soak(const std::string& helperPath, const std::vector<std::vector<int16_t>>& recordings,
         double minutes, size_t ahead) {
  Helper helper(helperPath);
  helper.send({{"type", "session.start"}, {"sessionId", "soak"}, {"locale", "en-US"}});
  helper.waitUntil([](auto& e) { return countType(e, "session.ready") == 2; }, 60s);
  json samples = json::array();
  auto sample = [&](const std::string& label, double audioSeconds) {
    samples.push_back({{"at", label},
                       {"audioMinutes", audioSeconds / 60.0},
                       {"rssMiB", helper.rssMiB()},
                       {"finals", countType(helper.events(), "transcript.final")}});
    std::printf("memory %-18s %6.1f min of audio  %5ld MiB\n", label.c_str(), audioSeconds / 60,
                helper.rssMiB());
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
                   {"pcmBase64", base64(pending.data(), kChunk)}});
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
    if (e.value("type", "") != "transcript.final") continue;
    const double at = e.value("startedAt", -1.0);
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
  Helper helper(helperPath);
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
                   {"pcmBase64", base64(audio.data() + at, kChunk)}});
    }
    helper.send({{"type", "session.stop"}, {"sessionId", id}});
    const char* awaited = overlap ? "session.stopped" : "transcript.final";
    helper.waitUntil(
        [&](auto& e) {
          return std::any_of(e.begin(), e.end(), [&](const json& x) {
            return x.value("type", "") == awaited && x.value("sessionId", "") == id;
          });
        },
        120s);
    if (s == 0) {
      helper.waitIdle(2s);
      afterFirst = helper.rssMiB();
    }
    if ((s + 1) % 50 == 0) {
      std::printf("%4d sessions started and stopped: %5ld MiB\n", s + 1, helper.rssMiB());
      std::fflush(stdout);
    }
  }
  helper.waitIdle(2s);
  const long afterAll = helper.rssMiB();
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
  if (helperPath.empty() || sodium_init() < 0) {
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
