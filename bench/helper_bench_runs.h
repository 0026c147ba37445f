#pragma once
// helper-bench: one measured run of the helper (fed as fast as it takes the audio, or at
// real-time pace) or of the raw engine, and the figures drawn from the events.
#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "bench/helper_bench_feed.h"
#include "bench/helper_process.h"

namespace brimlow::bench {

double ms(Clock::duration d);
// Milliseconds since the epoch, as hosts stamp "capturedAt".
double epochMs();
// The machine's load averages over 1, 5 and 15 minutes, as /proc/loadavg gives them.
std::string loadAverage();

struct Errors {
  size_t errors = 0, words = 0;
  double rate() const { return words ? 100.0 * errors / words : 0; }
};

// Word errors of the finals' text against `reference` (as sphinx-engine-bench counts them).
Errors wordErrors(const std::string& reference, const std::vector<Event>& finals);

double percentile(std::vector<double> v, double p);
double median(std::vector<double> v);

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

FastRun runFast(const std::string& helperPath, const Feed& feed);

struct EngineRun {
  double decodeMs = 0, audioSeconds = 0, rtf = 0, wer = 0;
  double initMs = 0, cpuSeconds = 0;         // cpu: the whole process less the model load
  double endUttMeanMs = 0, endUttMaxMs = 0;  // ps_end_utt, part of every final's latency
  size_t errors = 0, words = 0;
  bool ok = false;
};

// The raw engine with the services' settings, one pass over the same clips.
EngineRun runEngine(const std::string& enginePath, const std::string& dir);

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

// Relays the channels' feeds together at real-time pace: chunk k holds the audio of
// [t0 + 250k, t0 + 250(k+1)) ms and is written, for every channel that has it, once complete,
// at start + 250(k+1) ms. Returns how far the writes fell behind the pace at most, in ms.
double relayAtRealTimePace(HelperProcess& helper, const std::vector<Channel>& channels,
                           Clock::time_point start, double t0);

// The channels fed together at real-time pace into one helper with `env` set.
PacedRun runPaced(const std::string& helperPath, const std::map<std::string, std::string>& env,
                  const std::vector<Channel>& channels);

}  // namespace brimlow::bench
