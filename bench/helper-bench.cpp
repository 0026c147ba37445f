// End-to-end figures of brimlow-stt-helper in streaming mode, driven as a host drives it: JSON
// lines on stdin, events read from stdout, audio in 250 ms chunks of 16 kHz s16le.
//
//   helper-bench --helper PATH [--engine-bench PATH] [--data DIR] [--rounds N] [--repeat N]
//                [--only accuracy|latency|scale[,...]]
//
//   accuracy  the recordings fed as fast as the helper takes them: word error rate of the finals
//             (clips back to back, and clips with 1.5 s of silence between them), wall time from
//             the first write until the last final, beside the raw engine (sphinx-engine-bench,
//             run alternately in the same run) on the same audio
//   latency   one channel fed at real-time pace (a chunk every 250 ms, 1.5 s of silence between
//             clips, N rounds of the set): "latencyMs" of the finals, on the current path and on
//             the legacy backend (BRIMLOW_PLATFORM_VERSION=15.0); peak RSS of one channel
//   scale     two sessions x two sources at real-time pace in one helper: latency per channel,
//             lag of the last final behind the end of the last clip, CPU time per second of audio
//             per channel, peak RSS / 4
#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sodium.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/word_errors.h"

extern char** environ;

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr size_t kChunk = 4000;    // 250 ms of 16 kHz audio
constexpr size_t kGapChunks = 6;   // 1.5 s of silence between clips
constexpr size_t kTailChunks = 8;  // 2 s after the last clip, so the last end of speech is seen

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double epochMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// ---- words and word errors (as sphinx-engine-bench counts them) ----

// Lower-case words; anything but letters, digits and apostrophes separates.
std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::string current;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '\'' || u >= 0x80) {
      current += static_cast<char>(std::tolower(u));
    } else if (!current.empty()) {
      out.push_back(std::move(current));
      current.clear();
    }
  }
  if (!current.empty()) out.push_back(std::move(current));
  return out;
}

using brimlow::bench::editDistance;

struct Clip {
  std::string id;
  std::string reference;
  std::vector<int16_t> samples;
};

std::vector<Clip> readClips(const std::filesystem::path& dir) {
  std::vector<Clip> clips;
  std::ifstream in(dir / "transcription");
  for (std::string line; std::getline(in, line);) {
    auto open = line.rfind('(');
    auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    Clip clip;
    clip.id = line.substr(open + 1, close - open - 1);
    std::istringstream text(line.substr(0, open));
    for (std::string w; text >> w;)
      if (w != "<s>" && w != "</s>") clip.reference += (clip.reference.empty() ? "" : " ") + w;
    SF_INFO info{};
    const auto path = dir / (clip.id + ".wav");
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) continue;
    clip.samples.resize(static_cast<size_t>(info.frames) * info.channels);
    sf_read_short(f, clip.samples.data(), static_cast<sf_count_t>(clip.samples.size()));
    sf_close(f);
    if (info.samplerate == 16000 && info.channels == 1) clips.push_back(std::move(clip));
  }
  std::sort(clips.begin(), clips.end(), [](auto& a, auto& b) { return a.id < b.id; });
  return clips;
}

// ---- the audio a channel is fed ----

struct Feed {
  std::vector<int16_t> samples;  // whole chunks
  std::string reference;         // the words spoken, in order
  size_t clips = 0;
  std::vector<size_t> clipStarts;  // sample offset of every clip
  size_t lastClipEnd = 0;          // sample offset after the last clip's speech
  std::vector<std::string> clipReferences;
  double seconds() const { return samples.size() / 16000.0; }
};

// Clips in order starting at `first`, `rounds` times, with `gap` chunks of faint noise between
// them (pure digital zeros are not what a microphone delivers) and `tail` chunks at the end.
Feed makeFeed(const std::vector<Clip>& clips, size_t first, int rounds, size_t gap, size_t tail) {
  Feed feed;
  uint32_t seed = 12345 + static_cast<uint32_t>(first);
  auto noise = [&](size_t n) {
    for (size_t i = 0; i < n; ++i) {
      seed = seed * 1664525u + 1013904223u;
      feed.samples.push_back(static_cast<int16_t>(static_cast<int>(seed >> 29) - 4));
    }
  };
  for (int r = 0; r < rounds; ++r) {
    for (size_t k = 0; k < clips.size(); ++k) {
      const Clip& clip = clips[(first + k) % clips.size()];
      if (feed.clips > 0) noise(gap * kChunk);
      feed.clipStarts.push_back(feed.samples.size());
      feed.clipReferences.push_back(clip.reference);
      feed.samples.insert(feed.samples.end(), clip.samples.begin(), clip.samples.end());
      feed.reference += (feed.reference.empty() ? "" : " ") + clip.reference;
      feed.lastClipEnd = feed.samples.size();
      ++feed.clips;
    }
  }
  noise(tail * kChunk + (kChunk - feed.samples.size() % kChunk) % kChunk);
  return feed;
}

std::string base64(const int16_t* samples, size_t count) {
  std::vector<unsigned char> bytes(count * 2);
  for (size_t i = 0; i < count; ++i) {
    const auto v = static_cast<uint16_t>(samples[i]);
    bytes[2 * i] = static_cast<unsigned char>(v & 0xff);
    bytes[2 * i + 1] = static_cast<unsigned char>(v >> 8);
  }
  std::string out(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.resize(std::strlen(out.c_str()));
  return out;
}

std::string audioLine(const std::string& session, const std::string& source, size_t sequence,
                      double capturedAt, const int16_t* samples) {
  json line = {{"type", "audio"},          {"sessionId", session},
               {"source", source},         {"sequence", sequence},
               {"capturedAt", capturedAt}, {"pcmBase64", base64(samples, kChunk)}};
  return line.dump() + "\n";
}

// ---- the helper as a child process ----

struct Event {
  Clock::time_point at;
  json body;
};

class Helper {
 public:
  Helper(const std::string& path, const std::map<std::string, std::string>& extraEnv) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) throw std::runtime_error("pipe");
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      if (!extraEnv.count(entry.substr(0, entry.find('=')))) env.push_back(entry);
    }
    for (const auto& [k, v] : extraEnv) env.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string arg0 = path;
    char* argv[] = {arg0.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, envp.data());
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
    if (pid_ > 0) {
      int status = 0;
      for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(50ms);
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
    reader_.join();
    close(stdout_);
  }

  pid_t pid() const { return pid_; }

  void write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("helper closed its input");
      done += static_cast<size_t>(n);
    }
  }
  void send(const json& command) { write(command.dump() + "\n"); }
  void closeStdin() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }

  // Waits until `done` holds for the events so far; false at the deadline.
  bool waitUntil(const std::function<bool(const std::vector<Event>&)>& done,
                 std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(events_) || ended_; }) &&
           done(events_);
  }
  // Waits until no event has arrived and the helper has used almost no CPU for `quiet`: the
  // helper may hold results back until a stopped channel has decoded all it was given.
  void waitIdle(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex_);
    while (!ended_ && Clock::now() < deadline) {
      const size_t seen = events_.size();
      const double cpu = cpuSeconds();
      changed_.wait_for(lock, quiet, [&] { return events_.size() != seen || ended_; });
      if (events_.size() == seen && cpuSeconds() - cpu < 0.02 * quiet.count() / 1000.0) return;
    }
  }
  std::vector<Event> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

  // kB from /proc/<pid>/status.
  long statusKb(const char* key) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);)
      if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key) + 1);
    return -1;
  }
  // User plus system CPU seconds so far.
  double cpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), {});
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::vector<std::string> fields;
    for (std::string f; rest >> f;) fields.push_back(f);
    if (fields.size() < 13) return 0;
    // After the name: state is field 3, utime 14 and stime 15 (1-based in proc(5)).
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
      const auto now = Clock::now();
      buffer.append(block, static_cast<size_t>(n));
      size_t start = 0;
      for (size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
        Event e{now, json::parse(buffer.substr(start, nl - start), nullptr, false)};
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
      }
      buffer.erase(0, start);
      changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  bool ended_ = false;
};

bool isType(const Event& e, const char* type) {
  return e.body.is_object() && e.body.value("type", "") == type;
}

std::vector<Event> finalsOf(const std::vector<Event>& events, const std::string& session,
                            const std::string& source) {
  std::vector<Event> out;
  for (const auto& e : events)
    if (isType(e, "transcript.final") && e.body.value("sessionId", "") == session &&
        (source.empty() || e.body.value("source", "") == source))
      out.push_back(e);
  return out;
}

struct Errors {
  size_t errors = 0, words = 0;
  double rate() const { return words ? 100.0 * errors / words : 0; }
};

Errors wordErrors(const std::string& reference, const std::vector<Event>& finals) {
  std::string hypothesis;
  for (const auto& f : finals) hypothesis += " " + f.body.value("text", "");
  const auto ref = words(reference);
  return {editDistance(ref, words(hypothesis)), ref.size()};
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const double rank = p * (v.size() - 1);
  const size_t lo = static_cast<size_t>(rank);
  const size_t hi = std::min(lo + 1, v.size() - 1);
  return v[lo] + (v[hi] - v[lo]) * (rank - lo);
}

double median(std::vector<double> v) {
  return percentile(std::move(v), 0.5);
}

// Starts the sessions and waits until their recognizers are built (every channel of a session is
// built at its start) and the helper is idle. Returns the time until the last "session.ready".
double startSessions(Helper& helper, const std::vector<std::string>& sessions) {
  const auto start = Clock::now();
  for (const auto& s : sessions)
    helper.send({{"type", "session.start"}, {"sessionId", s}, {"locale", "en-US"}});
  helper.waitUntil(
      [&](const std::vector<Event>& events) {
        for (const auto& s : sessions) {
          bool ready = false;
          for (const auto& e : events)
            ready = ready || (isType(e, "session.ready") && e.body.value("sessionId", "") == s);
          if (!ready) return false;
        }
        return true;
      },
      30s);
  helper.waitIdle(500ms, 30s);
  double readyMs = 0;
  for (const auto& e : helper.events())
    if (isType(e, "session.ready")) readyMs = std::max(readyMs, ms(e.at - start));
  return readyMs;
}

// Sends session.stop for each session, then waits until each has stopped and the output has been
// quiet for a while: the last finals may follow "session.stopped".
void stopAndDrain(Helper& helper, const std::vector<std::string>& sessions) {
  for (const auto& s : sessions) helper.send({{"type", "session.stop"}, {"sessionId", s}});
  helper.waitUntil(
      [&](const std::vector<Event>& events) {
        size_t stopped = 0;
        for (const auto& e : events) stopped += isType(e, "session.stopped");
        return stopped >= sessions.size();
      },
      60s);
  helper.waitIdle(1500ms, 120s);
}

// ---- 1 + 2: accuracy and speed, fed as fast as the helper reads ----

struct FastRun {
  double wallMs = 0;   // first audio write until the last final
  double readyMs = 0;  // "session.start" until the last "session.ready" (models loaded)
  double cpuSeconds = 0;
  Errors errors;
  size_t finals = 0;
  double seconds = 0;
  size_t clips = 0;
};

FastRun runFast(const std::string& helperPath, const Feed& feed) {
  Helper helper(helperPath, {});
  FastRun run;
  run.readyMs = startSessions(helper, {"fast"});
  std::string all;
  const double t0 = epochMs();
  for (size_t i = 0; i * kChunk < feed.samples.size(); ++i)
    all += audioLine("fast", "remote", i, t0 + 250.0 * i, feed.samples.data() + i * kChunk);
  const double cpuBefore = helper.cpuSeconds();
  const auto start = Clock::now();
  helper.write(all);
  stopAndDrain(helper, {"fast"});
  run.cpuSeconds = helper.cpuSeconds() - cpuBefore;
  const auto events = helper.events();
  const auto finals = finalsOf(events, "fast", "remote");
  if (std::getenv("HELPER_BENCH_DEBUG"))
    for (const auto& e : events)
      std::fprintf(stderr, "%8.0f %.200s\n", ms(e.at - start), e.body.dump().c_str());
  if (!finals.empty()) run.wallMs = ms(finals.back().at - start);
  run.errors = wordErrors(feed.reference, finals);
  run.finals = finals.size();
  run.seconds = feed.seconds();
  run.clips = feed.clips;
  return run;
}

struct EngineRun {
  double decodeMs = 0, audioSeconds = 0, rtf = 0, wer = 0;
  double initMs = 0, cpuSeconds = 0;         // cpu: the whole process less the model load
  double endUttMeanMs = 0, endUttMaxMs = 0;  // ps_end_utt, part of every final's latency
  size_t errors = 0, words = 0;
  bool ok = false;
};

// The raw engine with the services' settings, one pass over the same clips.
EngineRun runEngine(const std::string& enginePath, const std::string& dir) {
  EngineRun run;
  const std::string command = "'" + enginePath + "' '" + dir + "' 2>/dev/null";
  auto childCpu = [] {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  };
  const double cpuBefore = childCpu();
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) {
    std::sscanf(line, "decoder init %lf ms", &run.initMs);
    std::sscanf(line, "end_utt: mean %lf ms, max %lf ms", &run.endUttMeanMs, &run.endUttMaxMs);
    if (std::sscanf(line, "total: %lf s audio, %lf ms decoding, RTF %lf, WER %lf%% (%zu/%zu)",
                    &run.audioSeconds, &run.decodeMs, &run.rtf, &run.wer, &run.errors,
                    &run.words) == 6)
      run.ok = true;
  }
  pclose(pipe);
  run.cpuSeconds = childCpu() - cpuBefore - run.initMs / 1000;
  return run;
}

// The feed cut into one recording per clip, each with the silence that follows it, so that the
// engine decodes exactly the helper's audio, one utterance per clip as the helper's voice
// detection splits it. Returns the directory (with a "transcription").
std::filesystem::path writeSegments(const Feed& feed) {
  char pattern[] = "/tmp/helper-bench-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
  const std::filesystem::path dir = pattern;
  std::ofstream transcription(dir / "transcription");
  for (size_t i = 0; i < feed.clipStarts.size(); ++i) {
    const size_t begin = feed.clipStarts[i];
    const size_t end =
        i + 1 < feed.clipStarts.size() ? feed.clipStarts[i + 1] : feed.samples.size();
    char id[32];
    std::snprintf(id, sizeof id, "segment-%02zu", i);
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const auto path = dir / (std::string(id) + ".wav");
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) throw std::runtime_error("cannot write " + path.string());
    sf_write_short(f, feed.samples.data() + begin, static_cast<sf_count_t>(end - begin));
    sf_close(f);
    transcription << "<s> " << feed.clipReferences[i] << " </s> (" << id << ")\n";
  }
  return dir;
}

// ---- 3 + 4: real-time pace ----

struct Channel {
  std::string session, source;
  Feed feed;
};

struct ChannelResult {
  std::vector<double> latencies;  // "latencyMs" of the finals
  // Of each latency: waiting for the chunk holding the end of speech to be complete and relayed,
  // and the rest (end of speech detection, ending the utterance, delivery).
  std::vector<double> relayWaits, afterRelay;
  double lastFinalLagMs = 0;  // last final after the last chunk was written
  Errors errors;
  size_t finals = 0, clips = 0;
  double seconds = 0;
};

struct PacedRun {
  std::vector<ChannelResult> channels;
  double cpuSeconds = 0;
  long peakRssKb = 0;
  double maxWriteLateMs = 0;  // how far our own pacing fell behind
  double readyMs = 0;         // "session.start" until the last "session.ready"
};

PacedRun runPaced(const std::string& helperPath, const std::map<std::string, std::string>& env,
                  const std::vector<Channel>& channels) {
  Helper helper(helperPath, env);
  std::vector<std::string> sessions;
  for (const auto& c : channels)
    if (std::find(sessions.begin(), sessions.end(), c.session) == sessions.end())
      sessions.push_back(c.session);
  const double readyMs = startSessions(helper, sessions);
  // Chunk k holds the audio of [t0 + 250k, t0 + 250(k+1)) and is relayed when it is complete.
  size_t chunks = 0;
  for (const auto& c : channels) chunks = std::max(chunks, c.feed.samples.size() / kChunk);
  const auto start = Clock::now();
  const double t0 = epochMs();
  const double cpuBefore = helper.cpuSeconds();
  PacedRun run;
  run.readyMs = readyMs;
  for (size_t k = 0; k < chunks; ++k) {
    const auto due = start + std::chrono::milliseconds(250 * (k + 1));
    std::this_thread::sleep_until(due);
    run.maxWriteLateMs = std::max(run.maxWriteLateMs, ms(Clock::now() - due));
    std::string lines;
    for (const auto& c : channels)
      if ((k + 1) * kChunk <= c.feed.samples.size())
        lines +=
            audioLine(c.session, c.source, k, t0 + 250.0 * k, c.feed.samples.data() + k * kChunk);
    helper.write(lines);
  }
  stopAndDrain(helper, sessions);
  run.cpuSeconds = helper.cpuSeconds() - cpuBefore;
  run.peakRssKb = helper.statusKb("VmHWM:");
  const auto events = helper.events();
  if (std::getenv("HELPER_BENCH_DEBUG"))
    for (const auto& e : events)
      std::fprintf(stderr, "%8.0f %s\n", ms(e.at - start), e.body.dump().c_str());
  for (const auto& c : channels) {
    ChannelResult r;
    const auto finals = finalsOf(events, c.session, c.source);
    for (const auto& f : finals) {
      const double latency = f.body.value("latencyMs", 0.0);
      const double end = f.body.value("speechEndedAt", t0) - t0;
      const double relayedAt = 250.0 * (std::floor(std::max(0.0, end) / 250.0) + 1);
      r.latencies.push_back(latency);
      r.relayWaits.push_back(relayedAt - end);
      r.afterRelay.push_back(latency - (relayedAt - end));
    }
    const auto lastClipRelayed =
        start + std::chrono::milliseconds(250 * ((c.feed.lastClipEnd + kChunk - 1) / kChunk));
    if (!finals.empty()) r.lastFinalLagMs = ms(finals.back().at - lastClipRelayed);
    r.errors = wordErrors(c.feed.reference, finals);
    r.finals = finals.size();
    r.clips = c.feed.clips;
    r.seconds = c.feed.seconds();
    run.channels.push_back(std::move(r));
  }
  return run;
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

}  // namespace

int main(int argc, char** argv) {
  std::string helperPath, enginePath;
  std::string dir = "/usr/share/pocketsphinx/test/data/librivox";
  std::string only;
  int rounds = 2, repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--helper")
      helperPath = next();
    else if (a == "--engine-bench")
      enginePath = next();
    else if (a == "--data")
      dir = next();
    else if (a == "--rounds")
      rounds = std::max(1, std::atoi(next().c_str()));
    else if (a == "--repeat")
      repeat = std::max(1, std::atoi(next().c_str()));
    else if (a == "--only")
      only = next();
    else {
      std::fprintf(stderr,
                   "usage: %s --helper PATH [--engine-bench PATH] [--data DIR] [--rounds N] "
                   "[--repeat N] [--only accuracy|latency|scale[,...]]\n",
                   argv[0]);
      return 2;
    }
  }
  if (helperPath.empty() || sodium_init() < 0) {
    std::fprintf(stderr, "helper-bench: --helper is required\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const auto clips = readClips(dir);
  if (clips.empty()) {
    std::fprintf(stderr, "helper-bench: no clips with a transcription in %s\n", dir.c_str());
    return 1;
  }
  auto wanted = [&](const std::string& part) {
    return only.empty() || ("," + only + ",").find("," + part + ",") != std::string::npos;
  };
  std::printf("clips: %zu from %s; load average at start: %s\n", clips.size(), dir.c_str(),
              loadAverage().c_str());

  if (wanted("accuracy")) {
    // The helper's feed has 1.5 s of silence between clips, so that its voice detection ends
    // an utterance per clip; the engine decodes the same samples cut at the clip starts. The
    // two alternate so that both see the same load; medians are compared.
    const Feed gapped = makeFeed(clips, 0, 1, kGapChunks, kTailChunks);
    const auto segments = writeSegments(gapped);
    std::vector<double> engineMs, engineCpu, helperMs, readyMs, helperCpu;
    EngineRun engine, engineClips;
    FastRun helper;
    for (int r = 0; r < repeat; ++r) {
      if (!enginePath.empty()) {
        engine = runEngine(enginePath, segments.string());
        if (engine.ok) engineMs.push_back(engine.decodeMs);
        if (engine.ok) engineCpu.push_back(engine.cpuSeconds);
      }
      helper = runFast(helperPath, gapped);
      helperMs.push_back(helper.wallMs);
      readyMs.push_back(helper.readyMs);
      helperCpu.push_back(helper.cpuSeconds);
    }
    std::filesystem::remove_all(segments);
    // Clips back to back, as the engine bench feeds them: no pause for the voice detection.
    const FastRun gapless = runFast(helperPath, makeFeed(clips, 0, 1, 0, 0));
    if (!enginePath.empty()) engineClips = runEngine(enginePath, dir);

    std::printf("\n== accuracy and speed, fed as fast as taken (%d alternating runs, medians)\n",
                repeat);
    std::printf("%-46s %7s %8s %6s %7s\n", "", "audio s", "wall ms", "RTF", "WER");
    if (engine.ok)
      std::printf("%-46s %7.2f %8.0f %6.3f %6.1f%% (%zu/%zu)\n",
                  "engine, clips + 1.5 s silence, utt per clip", engine.audioSeconds,
                  median(engineMs), median(engineMs) / 1000 / engine.audioSeconds, engine.wer,
                  engine.errors, engine.words);
    std::printf("%-46s %7.2f %8.0f %6.3f %6.1f%% (%zu/%zu) %zu finals/%zu clips\n",
                "helper, same audio (first write..last final)", helper.seconds, median(helperMs),
                median(helperMs) / 1000 / helper.seconds, helper.errors.rate(),
                helper.errors.errors, helper.errors.words, helper.finals, helper.clips);
    if (engineClips.ok)
      std::printf("%-46s %7.2f %8.0f %6.3f %6.1f%% (%zu/%zu)\n",
                  "engine, bare clips (sphinx-engine-bench)", engineClips.audioSeconds,
                  engineClips.decodeMs, engineClips.rtf, engineClips.wer, engineClips.errors,
                  engineClips.words);
    std::printf("%-46s %7.2f %8.0f %6.3f %6.1f%% (%zu/%zu) %zu finals/%zu clips\n",
                "helper, clips back to back", gapless.seconds, gapless.wallMs,
                gapless.wallMs / 1000 / gapless.seconds, gapless.errors.rate(),
                gapless.errors.errors, gapless.errors.words, gapless.finals, gapless.clips);
    std::printf(
        "helper: session.start..session.ready %.0f ms (before the first write); CPU "
        "%.2f s = %.3f s per s of audio\n",
        median(readyMs), median(helperCpu), median(helperCpu) / helper.seconds);
    if (engine.ok)
      std::printf("engine ps_end_utt (ends every utterance): mean %.0f ms, max %.0f ms\n",
                  engine.endUttMeanMs, engine.endUttMaxMs);
    if (!engineMs.empty()) {
      std::printf("runs, engine ms:");
      for (double v : engineMs) std::printf(" %.0f", v);
      std::printf("; helper ms:");
      for (double v : helperMs) std::printf(" %.0f", v);
      std::printf(
          "\nwall ratio helper / engine on the same audio: %.3f (goal <= 1.05); CPU "
          "ratio %.3f (engine CPU %.2f s less its model load)\n",
          median(helperMs) / median(engineMs), median(helperCpu) / median(engineCpu),
          median(engineCpu));
    }
  }

  if (wanted("latency")) {
    std::printf("\n== latency, one channel at real-time pace (%d rounds of the set)\n", rounds);
    std::printf("%-30s %6s %8s %8s %8s %7s %9s %9s\n", "backend", "finals", "p50 ms", "p95 ms",
                "max ms", "WER", "peak RSS", "CPU s/s");
    const std::array<std::pair<const char*, std::map<std::string, std::string>>, 2> backends = {
        {{"analyzer (current path)", {}},
         {"legacy (PLATFORM_VERSION=15.0)", {{"BRIMLOW_PLATFORM_VERSION", "15.0"}}}}};
    for (const auto& [name, env] : backends) {
      const auto run =
          runPaced(helperPath, env,
                   {{"lat", "remote", makeFeed(clips, 0, rounds, kGapChunks, kTailChunks)}});
      const auto& c = run.channels.front();
      std::printf("%-30s %3zu/%-2zu %8.0f %8.0f %8.0f %6.1f%% %6.1f MiB %9.3f\n", name, c.finals,
                  c.clips, percentile(c.latencies, 0.5), percentile(c.latencies, 0.95),
                  percentile(c.latencies, 1.0), c.errors.rate(), run.peakRssKb / 1024.0,
                  run.cpuSeconds / c.seconds);
      std::printf("  latencies:");
      for (double v : c.latencies) std::printf(" %.0f", v);
      std::printf(
          "\n  of which waiting for the chunk to be relayed: p50 %.0f ms; after the relay: "
          "p50 %.0f ms, p95 %.0f ms\n",
          percentile(c.relayWaits, 0.5), percentile(c.afterRelay, 0.5),
          percentile(c.afterRelay, 0.95));
    }
    std::printf("goals: analyzer p50 <= 600 ms, legacy p50 <= 1050 ms\n");
  }

  if (wanted("scale")) {
    std::vector<Channel> channels;
    size_t first = 0;
    for (const char* session : {"s1", "s2"})
      for (const char* source : {"self", "remote"})
        channels.push_back(
            {session, source, makeFeed(clips, first++, rounds, kGapChunks, kTailChunks)});
    const auto run = runPaced(helperPath, {}, channels);
    std::printf("\n== scale: 2 sessions x 2 sources at real-time pace, analyzer (%d rounds)\n",
                rounds);
    std::printf("%-12s %6s %8s %8s %8s %12s %7s\n", "channel", "finals", "p50 ms", "p95 ms",
                "max ms", "last lag ms", "WER");
    double audio = 0;
    for (size_t i = 0; i < channels.size(); ++i) {
      const auto& c = run.channels[i];
      audio += c.seconds;
      std::printf("%-12s %3zu/%-2zu %8.0f %8.0f %8.0f %12.0f %6.1f%%\n",
                  (channels[i].session + "/" + channels[i].source).c_str(), c.finals, c.clips,
                  percentile(c.latencies, 0.5), percentile(c.latencies, 0.95),
                  percentile(c.latencies, 1.0), c.lastFinalLagMs, c.errors.rate());
    }
    std::printf("helper CPU: %.1f s for %.1f s of audio = %.3f CPU s per s of audio per channel\n",
                run.cpuSeconds, audio, run.cpuSeconds / audio);
    std::printf("peak RSS: %.1f MiB total, %.1f MiB per channel (goal <= 110 MiB)\n",
                run.peakRssKb / 1024.0, run.peakRssKb / 1024.0 / channels.size());
    std::printf("our pacing fell behind by at most %.0f ms\n", run.maxWriteLateMs);
  }
  std::printf("\nload average at end: %s\n", loadAverage().c_str());
  return 0;
}
