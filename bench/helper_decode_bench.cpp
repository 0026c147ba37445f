// Cost of taking one 250 ms "audio" line apart: JSON decoding into a command, then the Base64
// payload into a 16 kHz PCM buffer. Four of these arrive per second per source.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/helper_commands.h"
#include "protocol/pcm_base64.h"
#include "protocol/pcm_payload.h"

namespace {

std::string audioLine() {
  std::vector<int16_t> samples(4000);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(8000.0 * std::sin(i * 0.07));
  const std::string b64 = brimlow::protocol::pcm16Base64(samples);
  nlohmann::json line = {{"type", "audio"}, {"sessionId", "meeting-1"},   {"source", "remote"},
                         {"sequence", 42},  {"capturedAt", 1.7e12 + 0.5}, {"pcmBase64", b64},
                         {"level", 0.25}};
  return line.dump();
}

void BM_DecodeAudioLine(benchmark::State& state) {
  const std::string line = audioLine();
  for (auto _ : state) {
    auto command = brimlow::stt::decodeHelperCommand(line);
    auto buffer = brimlow::stt::makePCMBuffer(*command->pcmBase64);
    benchmark::DoNotOptimize(buffer);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_DecodeAudioLine);

void BM_DecodeJsonOnly(benchmark::State& state) {
  const std::string line = audioLine();
  for (auto _ : state) benchmark::DoNotOptimize(brimlow::stt::decodeHelperCommand(line));
}
BENCHMARK(BM_DecodeJsonOnly);

}  // namespace
