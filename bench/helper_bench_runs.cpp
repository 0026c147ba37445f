#include "bench/helper_bench_runs.h"

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "bench/word_errors.h"
#include "support/text.h"

namespace brimlow::bench {

namespace {

using namespace std::chrono_literals;

// The helper with `env` set and its stderr discarded.
devtools::SpawnOptions helperOptions(const std::map<std::string, std::string>& env) {
  devtools::SpawnOptions options;
  options.env.insert(env.begin(), env.end());
  options.stderrTo = devtools::ChildStderr::discard;
  return options;
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

// Starts the sessions and waits until their recognizers are built (every channel of a session is
// built at its start) and the helper is idle. Returns the time until the last "session.ready".
double startSessions(HelperProcess& helper, const std::vector<std::string>& sessions) {
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
void stopAndDrain(HelperProcess& helper, const std::vector<std::string>& sessions) {
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

}  // namespace

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double epochMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Errors wordErrors(const std::string& reference, const std::vector<Event>& finals) {
  std::string hypothesis;
  for (const auto& f : finals) hypothesis += " " + f.body.value("text", "");
  const auto ref = common::lowercasedWordTokens(reference);
  return {editDistance(ref, common::lowercasedWordTokens(hypothesis)), ref.size()};
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
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

FastRun runFast(const std::string& helperPath, const Feed& feed) {
  HelperProcess helper(helperPath, helperOptions({}));
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

double relayAtRealTimePace(HelperProcess& helper, const std::vector<Channel>& channels,
                           Clock::time_point start, double t0) {
  size_t chunks = 0;
  for (const auto& c : channels) chunks = std::max(chunks, c.feed.samples.size() / kChunk);
  double maxLateMs = 0;
  for (size_t k = 0; k < chunks; ++k) {
    const auto due = start + std::chrono::milliseconds(250 * (k + 1));
    std::this_thread::sleep_until(due);
    maxLateMs = std::max(maxLateMs, ms(Clock::now() - due));
    std::string lines;
    for (const auto& c : channels)
      if ((k + 1) * kChunk <= c.feed.samples.size())
        lines +=
            audioLine(c.session, c.source, k, t0 + 250.0 * k, c.feed.samples.data() + k * kChunk);
    helper.write(lines);
  }
  return maxLateMs;
}

PacedRun runPaced(const std::string& helperPath, const std::map<std::string, std::string>& env,
                  const std::vector<Channel>& channels) {
  HelperProcess helper(helperPath, helperOptions(env));
  std::vector<std::string> sessions;
  for (const auto& c : channels)
    if (std::find(sessions.begin(), sessions.end(), c.session) == sessions.end())
      sessions.push_back(c.session);
  const double readyMs = startSessions(helper, sessions);
  const auto start = Clock::now();
  const double t0 = epochMs();
  const double cpuBefore = helper.cpuSeconds();
  PacedRun run;
  run.readyMs = readyMs;
  run.maxWriteLateMs = relayAtRealTimePace(helper, channels, start, t0);
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

}  // namespace brimlow::bench
