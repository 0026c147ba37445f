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
#include <signal.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench/helper_bench_feed.h"
#include "bench/helper_bench_runs.h"

namespace {

using namespace brimlow::bench;

struct Options {
  std::string helperPath, enginePath;
  std::string dir = "/usr/share/pocketsphinx/test/data/librivox";
  std::string only;  // comma-separated parts; empty: all
  int rounds = 2, repeat = 3;

  bool wants(const std::string& part) const {
    return only.empty() || ("," + only + ",").find("," + part + ",") != std::string::npos;
  }
};

// False (after the usage line) on an argument it does not know.
bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--helper")
      options.helperPath = next();
    else if (a == "--engine-bench")
      options.enginePath = next();
    else if (a == "--data")
      options.dir = next();
    else if (a == "--rounds")
      options.rounds = std::max(1, std::atoi(next().c_str()));
    else if (a == "--repeat")
      options.repeat = std::max(1, std::atoi(next().c_str()));
    else if (a == "--only")
      options.only = next();
    else {
      std::fprintf(stderr,
                   "usage: %s --helper PATH [--engine-bench PATH] [--data DIR] [--rounds N] "
                   "[--repeat N] [--only accuracy|latency|scale[,...]]\n",
                   argv[0]);
      return false;
    }
  }
  return true;
}

// ---- accuracy: the helper beside the raw engine, fed as fast as taken ----

struct AccuracyRuns {
  // The clips with 1.5 s of silence between them, the helper and the engine alternating.
  EngineRun engine;
  FastRun helper;
  std::vector<double> engineMs, engineCpu, helperMs, readyMs, helperCpu;
  // The clips back to back, once each.
  EngineRun engineClips;
  FastRun gapless;
};

AccuracyRuns measureAccuracy(const Options& options, const std::vector<Clip>& clips) {
  // The helper's feed has 1.5 s of silence between clips, so that its voice detection ends
  // an utterance per clip; the engine decodes the same samples cut at the clip starts. The
  // two alternate so that both see the same load; medians are compared.
  AccuracyRuns runs;
  const Feed gapped = makeFeed(clips, 0, 1, kGapChunks, kTailChunks);
  const auto segments = writeSegments(gapped);
  for (int r = 0; r < options.repeat; ++r) {
    if (!options.enginePath.empty()) {
      runs.engine = runEngine(options.enginePath, segments.string());
      if (runs.engine.ok) runs.engineMs.push_back(runs.engine.decodeMs);
      if (runs.engine.ok) runs.engineCpu.push_back(runs.engine.cpuSeconds);
    }
    runs.helper = runFast(options.helperPath, gapped);
    runs.helperMs.push_back(runs.helper.wallMs);
    runs.readyMs.push_back(runs.helper.readyMs);
    runs.helperCpu.push_back(runs.helper.cpuSeconds);
  }
  std::filesystem::remove_all(segments);
  // Clips back to back, as the engine bench feeds them: no pause for the voice detection.
  runs.gapless = runFast(options.helperPath, makeFeed(clips, 0, 1, 0, 0));
  if (!options.enginePath.empty()) runs.engineClips = runEngine(options.enginePath, options.dir);
  return runs;
}

void printAccuracyTable(const AccuracyRuns& runs, int repeat) {
  const EngineRun& engine = runs.engine;
  const EngineRun& engineClips = runs.engineClips;
  const FastRun& helper = runs.helper;
  const FastRun& gapless = runs.gapless;
  std::printf("\n== accuracy and speed, fed as fast as taken (%d alternating runs, medians)\n",
              repeat);
  std::printf("%-46s %7s %8s %6s %7s\n", "", "audio s", "wall ms", "RTF", "WER");
  if (engine.ok)
    std::printf("%-46s %7.2f %8.0f %6.3f %6.1f%% (%zu/%zu)\n",
                "engine, clips + 1.5 s silence, utt per clip", engine.audioSeconds,
                median(runs.engineMs), median(runs.engineMs) / 1000 / engine.audioSeconds,
                engine.wer, engine.errors, engine.words);
  std::printf("%-46s %7.2f %8.0f %6.3f %6.1f%% (%zu/%zu) %zu finals/%zu clips\n",
              "helper, same audio (first write..last final)", helper.seconds, median(runs.helperMs),
              median(runs.helperMs) / 1000 / helper.seconds, helper.errors.rate(),
              helper.errors.errors, helper.errors.words, helper.finals, helper.clips);
  if (engineClips.ok)
    std::printf("%-46s %7.2f %8.0f %6.3f %6.1f%% (%zu/%zu)\n",
                "engine, bare clips (sphinx-engine-bench)", engineClips.audioSeconds,
                engineClips.decodeMs, engineClips.rtf, engineClips.wer, engineClips.errors,
                engineClips.words);
  std::printf("%-46s %7.2f %8.0f %6.3f %6.1f%% (%zu/%zu) %zu finals/%zu clips\n",
              "helper, clips back to back", gapless.seconds, gapless.wallMs,
              gapless.wallMs / 1000 / gapless.seconds, gapless.errors.rate(), gapless.errors.errors,
              gapless.errors.words, gapless.finals, gapless.clips);
}

void printAccuracyCosts(const AccuracyRuns& runs) {
  std::printf(
      "helper: session.start..session.ready %.0f ms (before the first write); CPU "
      "%.2f s = %.3f s per s of audio\n",
      median(runs.readyMs), median(runs.helperCpu), median(runs.helperCpu) / runs.helper.seconds);
  if (runs.engine.ok)
    std::printf("engine ps_end_utt (ends every utterance): mean %.0f ms, max %.0f ms\n",
                runs.engine.endUttMeanMs, runs.engine.endUttMaxMs);
  if (runs.engineMs.empty()) return;
  std::printf("runs, engine ms:");
  for (double v : runs.engineMs) std::printf(" %.0f", v);
  std::printf("; helper ms:");
  for (double v : runs.helperMs) std::printf(" %.0f", v);
  std::printf(
      "\nwall ratio helper / engine on the same audio: %.3f (goal <= 1.05); CPU "
      "ratio %.3f (engine CPU %.2f s less its model load)\n",
      median(runs.helperMs) / median(runs.engineMs),
      median(runs.helperCpu) / median(runs.engineCpu), median(runs.engineCpu));
}

// ---- latency: one channel at real-time pace, on both backends ----

void printLatencyRow(const char* backend, const PacedRun& run) {
  const auto& c = run.channels.front();
  std::printf("%-30s %3zu/%-2zu %8.0f %8.0f %8.0f %6.1f%% %6.1f MiB %9.3f\n", backend, c.finals,
              c.clips, percentile(c.latencies, 0.5), percentile(c.latencies, 0.95),
              percentile(c.latencies, 1.0), c.errors.rate(), run.peakRssKb / 1024.0,
              run.cpuSeconds / c.seconds);
  std::printf("  latencies:");
  for (double v : c.latencies) std::printf(" %.0f", v);
  std::printf(
      "\n  of which waiting for the chunk to be relayed: p50 %.0f ms; after the relay: "
      "p50 %.0f ms, p95 %.0f ms\n",
      percentile(c.relayWaits, 0.5), percentile(c.afterRelay, 0.5), percentile(c.afterRelay, 0.95));
}

void latencySection(const Options& options, const std::vector<Clip>& clips) {
  std::printf("\n== latency, one channel at real-time pace (%d rounds of the set)\n",
              options.rounds);
  std::printf("%-30s %6s %8s %8s %8s %7s %9s %9s\n", "backend", "finals", "p50 ms", "p95 ms",
              "max ms", "WER", "peak RSS", "CPU s/s");
  const std::array<std::pair<const char*, std::map<std::string, std::string>>, 2> backends = {
      {{"analyzer (current path)", {}},
       {"legacy (PLATFORM_VERSION=15.0)", {{"BRIMLOW_PLATFORM_VERSION", "15.0"}}}}};
  for (const auto& [name, env] : backends) {
    const Feed feed = makeFeed(clips, 0, options.rounds, kGapChunks, kTailChunks);
    printLatencyRow(name, runPaced(options.helperPath, env, {{"lat", "remote", feed}}));
  }
  std::printf("goals: analyzer p50 <= 600 ms, legacy p50 <= 1050 ms\n");
}

// ---- scale: two sessions x two sources at real-time pace in one helper ----

void printScale(const std::vector<Channel>& channels, const PacedRun& run, int rounds) {
  std::printf("\n== scale: 2 sessions x 2 sources at real-time pace, analyzer (%d rounds)\n",
              rounds);
  std::printf("%-12s %6s %8s %8s %8s %12s %7s\n", "channel", "finals", "p50 ms", "p95 ms", "max ms",
              "last lag ms", "WER");
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

void scaleSection(const Options& options, const std::vector<Clip>& clips) {
  std::vector<Channel> channels;
  size_t first = 0;
  for (const char* session : {"s1", "s2"})
    for (const char* source : {"self", "remote"})
      channels.push_back(
          {session, source, makeFeed(clips, first++, options.rounds, kGapChunks, kTailChunks)});
  const auto run = runPaced(options.helperPath, {}, channels);
  printScale(channels, run, options.rounds);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) return 2;
  if (options.helperPath.empty()) {
    std::fprintf(stderr, "helper-bench: --helper is required\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const auto clips = readClips(options.dir);
  if (clips.empty()) {
    std::fprintf(stderr, "helper-bench: no clips with a transcription in %s\n",
                 options.dir.c_str());
    return 1;
  }
  std::printf("clips: %zu from %s; load average at start: %s\n", clips.size(), options.dir.c_str(),
              loadAverage().c_str());

  if (options.wants("accuracy")) {
    const auto runs = measureAccuracy(options, clips);
    printAccuracyTable(runs, options.repeat);
    printAccuracyCosts(runs);
  }
  if (options.wants("latency")) latencySection(options, clips);
  if (options.wants("scale")) scaleSection(options, clips);
  std::printf("\nload average at end: %s\n", loadAverage().c_str());
  return 0;
}
