// How many sessions relaying real speech live one brimlow-stt-helper serves on this machine.
// N sessions at once, each fed at real-time pace (a 250 ms chunk every 250 ms, as a host relays
// capture), first on "remote" only while "self" sends nothing (a muted microphone), then on both
// sources. Per N: finals per live channel, the clips that got a final, final latency after the
// end of speech (p50, p95), CPU while the audio was relayed, resident memory, how often a
// channel had to wait for a decoder, and the processor time the rest of the machine used
// meanwhile ("others": a run where it is high measured a shared machine, not the helper). First
// of all: resident memory per idle session.
//
//   capacity-bench --helper PATH [--baseline PATH] [--data DIR] [--sessions 1,2,4,...]
//                  [--sources one,both] [--seconds S] [--idle M]
//
// With --baseline every run is made with both helpers in turn (the helper first), so that the
// two see the same load; the speech is read in place from DIR (sNN.wav with sNN.txt).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/helper_bench_feed.h"
#include "bench/helper_bench_runs.h"

namespace {

using namespace brimlow::bench;
using namespace std::chrono_literals;

struct Options {
  std::string helperPath, baselinePath;
  std::string dir = "../shared/data/speech";
  std::vector<size_t> sessions = {1, 2, 4, 6, 8, 10, 12};
  std::vector<std::string> sources = {"one", "both"};
  double seconds = 40;
  size_t idle = 4;
};

template <class T>
std::vector<T> commaList(const std::string& text, T (*convert)(const std::string&)) {
  std::vector<T> out;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');)
    if (!item.empty()) out.push_back(convert(item));
  return out;
}

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--helper") {
      options.helperPath = next();
    } else if (a == "--baseline") {
      options.baselinePath = next();
    } else if (a == "--data") {
      options.dir = next();
    } else if (a == "--sessions") {
      options.sessions = commaList<size_t>(
          next(), [](const std::string& s) { return static_cast<size_t>(std::atol(s.c_str())); });
    } else if (a == "--sources") {
      options.sources = commaList<std::string>(next(), [](const std::string& s) { return s; });
    } else if (a == "--seconds") {
      options.seconds = std::max(5.0, std::atof(next().c_str()));
    } else if (a == "--idle") {
      options.idle = std::max<size_t>(1, std::atol(next().c_str()));
    } else {
      std::fprintf(stderr,
                   "usage: %s --helper PATH [--baseline PATH] [--data DIR] [--sessions 1,2,4,...] "
                   "[--sources one,both] [--seconds S] [--idle M]\n  defaults: --data %s, "
                   "--sessions 1,2,4,6,8,10,12, --sources one,both, --seconds 40, --idle 4\n",
                   argv[0], Options().dir.c_str());
      return false;
    }
  }
  return !options.helperPath.empty();
}

// Processor seconds the whole machine has spent busy so far (every process, the helper
// included), from /proc/stat.
double machineBusySeconds() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
  return (user + nice + system + irq + softirq + steal) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

brimlow::devtools::SpawnOptions quietHelper() {
  brimlow::devtools::SpawnOptions options;
  options.stderrTo = brimlow::devtools::ChildStderr::discard;
  return options;
}

// Sessions are started with their locale named, so that a helper of any default locale serves
// them; returns when every channel is ready and the helper has gone quiet.
void startSessions(HelperProcess& helper, size_t count) {
  for (size_t i = 0; i < count; ++i)
    helper.send(
        {{"type", "session.start"}, {"sessionId", "s" + std::to_string(i)}, {"locale", "en-US"}});
  helper.waitUntil(
      [&](const std::vector<Event>& events) {
        return static_cast<size_t>(std::count_if(events.begin(), events.end(), [](auto& e) {
                 return isType(e, "session.ready");
               })) >= 2 * count;
      },
      60s);
  helper.waitIdle(500ms, 30s);
}

// ---- resident memory of idle sessions ----

struct IdleCost {
  double perSessionMiB = 0, beforeMiB = 0, afterMiB = 0;
};

IdleCost measureIdle(const std::string& helperPath, size_t count) {
  HelperProcess helper(helperPath, quietHelper());
  helper.waitUntil([](const std::vector<Event>& events) { return !events.empty(); }, 30s);
  helper.waitIdle(500ms, 30s);
  IdleCost cost;
  cost.beforeMiB = helper.statusKb("VmRSS:") / 1024.0;
  startSessions(helper, count);
  cost.afterMiB = helper.statusKb("VmRSS:") / 1024.0;
  cost.perSessionMiB = (cost.afterMiB - cost.beforeMiB) / static_cast<double>(count);
  return cost;
}

// ---- N sessions live ----

// Clips from `first` on, in turn, until they make about `seconds` with the gaps between them.
Feed feedOf(const std::vector<Clip>& clips, size_t first, double seconds) {
  std::vector<Clip> picked;
  double total = 0;
  for (size_t k = 0; total < seconds && k < clips.size(); ++k) {
    picked.push_back(clips[(first + k) % clips.size()]);
    total += picked.back().samples.size() / 16000.0 + kGapChunks * 0.25;
  }
  return makeFeed(picked, 0, 1, kGapChunks, kTailChunks);
}

struct CapacityRun {
  std::vector<size_t> finals;  // per live channel
  size_t clips = 0, clipsHeard = 0;
  std::vector<double> latencies;
  double cpuPercent = 0;     // of one core, while the audio was relayed
  double othersPercent = 0;  // of one core: everything else on the machine meanwhile
  double idleRssMiB = 0;     // the sessions started, before any audio
  double peakRssMiB = 0;
  size_t waits = 0;  // a channel had to wait for a decoder
  bool everyFinal() const { return clipsHeard == clips; }
};

CapacityRun runLive(const std::string& helperPath, size_t sessions,
                    const std::vector<Channel>& live) {
  HelperProcess helper(helperPath, quietHelper());
  startSessions(helper, sessions);
  CapacityRun run;
  run.idleRssMiB = helper.statusKb("VmRSS:") / 1024.0;
  const auto start = Clock::now();
  const double t0 = epochMs();
  const double cpuBefore = helper.cpuSeconds();
  const double machineBefore = machineBusySeconds();
  relayAtRealTimePace(helper, live, start, t0);
  const double seconds = ms(Clock::now() - start) / 1000;
  const double helperCpu = helper.cpuSeconds() - cpuBefore;
  run.cpuPercent = 100.0 * helperCpu / seconds;
  run.othersPercent = 100.0 * (machineBusySeconds() - machineBefore - helperCpu) / seconds;
  for (size_t i = 0; i < sessions; ++i)
    helper.send({{"type", "session.stop"}, {"sessionId", "s" + std::to_string(i)}});
  helper.waitUntil(
      [&](const std::vector<Event>& events) {
        return static_cast<size_t>(std::count_if(events.begin(), events.end(), [](auto& e) {
                 return isType(e, "session.stopped");
               })) >= sessions;
      },
      60s);
  helper.waitIdle(1500ms, 180s);  // a channel that waited decodes its backlog now
  run.peakRssMiB = helper.statusKb("VmHWM:") / 1024.0;
  const auto events = helper.events();
  for (const auto& e : events)
    if (isType(e, "source.waiting") && e.body.value("waiting", false)) ++run.waits;
  for (const auto& l : live) {
    std::set<size_t> heard;
    size_t finals = 0;
    for (const auto& e : events) {
      if (!isType(e, "transcript.final") || e.body.value("sessionId", "") != l.session ||
          e.body.value("source", "") != l.source)
        continue;
      ++finals;
      run.latencies.push_back(e.body.value("latencyMs", 0.0));
      // The clip whose stretch of the feed (its speech and the gap after it) holds the start.
      const double startedMs = e.body.value("startedAt", t0) - t0;
      for (size_t j = l.feed.clipStarts.size(); j-- > 0;) {
        if (startedMs + 300 >= l.feed.clipStarts[j] / 16.0) {
          heard.insert(j);
          break;
        }
      }
    }
    run.finals.push_back(finals);
    run.clips += l.feed.clips;
    run.clipsHeard += heard.size();
  }
  return run;
}

std::vector<Channel> liveChannels(const std::vector<Clip>& clips, size_t sessions, bool bothSources,
                                  double seconds) {
  // Each channel starts at another clip, so that utterances do not end in step.
  std::vector<Channel> live;
  for (size_t i = 0; i < sessions; ++i) {
    const std::string session = "s" + std::to_string(i);
    live.push_back({session, "remote", feedOf(clips, 7 * i, seconds)});
    if (bothSources) live.push_back({session, "self", feedOf(clips, 7 * i + 3, seconds)});
  }
  return live;
}

void printRow(const char* name, size_t sessions, const CapacityRun& run) {
  const auto [fewest, most] = std::minmax_element(run.finals.begin(), run.finals.end());
  std::printf("%-9s %3zu %4zu-%-4zu %5zu/%-5zu %7.0f %7.0f %6.0f %7.0f %9.0f %9.0f %6zu %s\n", name,
              sessions, *fewest, *most, run.clipsHeard, run.clips, percentile(run.latencies, 0.5),
              percentile(run.latencies, 0.95), run.cpuPercent, run.othersPercent, run.idleRssMiB,
              run.peakRssMiB, run.waits, loadAverage().c_str());
}

bool withinGoal(const CapacityRun& run) {
  return run.everyFinal() && percentile(run.latencies, 0.95) <= 1500;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) return 2;
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each row as soon as it is measured
  const auto clips = readClipsWithTexts(options.dir);
  if (clips.empty()) {
    std::fprintf(stderr, "capacity-bench: no 16 kHz mono recordings with texts in %s\n",
                 options.dir.c_str());
    return 1;
  }
  std::vector<std::pair<const char*, std::string>> helpers = {{"helper", options.helperPath}};
  if (!options.baselinePath.empty()) helpers.push_back({"baseline", options.baselinePath});
  std::printf("clips: %zu from %s; load average at start: %s\n", clips.size(), options.dir.c_str(),
              loadAverage().c_str());

  std::printf("\n== resident memory of %zu idle sessions (started, no audio)\n", options.idle);
  for (const auto& [name, path] : helpers) {
    const auto cost = measureIdle(path, options.idle);
    std::printf("%-9s %.1f MiB before, %.1f MiB after: %.1f MiB per idle session\n", name,
                cost.beforeMiB, cost.afterMiB, cost.perSessionMiB);
  }

  for (const auto& sources : options.sources) {
    const bool both = sources == "both";
    std::printf("\n== %s, %.0f s of speech per channel at real-time pace\n",
                both ? "both sources of every session live"
                     : "one live source per session (\"remote\"; \"self\" sends nothing)",
                options.seconds);
    std::printf("%-9s %3s %9s %11s %7s %7s %6s %7s %9s %9s %6s %s\n", "", "N", "finals/ch",
                "clips heard", "p50 ms", "p95 ms", "CPU %", "others", "idle MiB", "peak MiB",
                "waits", "load");
    std::vector<size_t> largest(helpers.size(), 0);
    for (size_t n : options.sessions) {
      const auto live = liveChannels(clips, n, both, options.seconds);
      for (size_t h = 0; h < helpers.size(); ++h) {
        const auto run = runLive(helpers[h].second, n, live);
        printRow(helpers[h].first, n, run);
        if (withinGoal(run)) largest[h] = std::max(largest[h], n);
      }
    }
    for (size_t h = 0; h < helpers.size(); ++h)
      std::printf("%-9s largest N with every clip's final and p95 <= 1500 ms: %zu\n",
                  helpers[h].first, largest[h]);
  }
  std::printf("\nload average at end: %s\n", loadAverage().c_str());
  return 0;
}
