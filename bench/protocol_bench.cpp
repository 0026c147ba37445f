// Audio commands per second through the whole command path of streaming mode: the reader's line
// splitting and JSON decoding, the main queue's dispatch, the backend's Base64 decoding and the
// channel's queue, into a scripted engine that does nothing with the audio. Beside it, the same
// decoding alone on one thread, so that the cost of the path's hand-offs shows as a ratio.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/helper_platform.h"
#include "tests/scripted/scripted_analysis.h"
#include "platform/speech/unavailable.h"
#include "protocol/helper_commands.h"
#include "protocol/pcm_base64.h"
#include "protocol/pcm_payload.h"
#include "stt-helper/backends.h"
#include "stt-helper/helper.h"

namespace {

using namespace brimlow;

std::string audioLine(int64_t sequence) {
  std::vector<int16_t> samples(4000);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(8000.0 * std::sin(static_cast<double>(i) * 0.07));
  return nlohmann::json{{"type", "audio"},
                        {"sessionId", "bench"},
                        {"source", "remote"},
                        {"sequence", sequence},
                        {"capturedAt", 1.7e12 + 250.0 * static_cast<double>(sequence)},
                        {"pcmBase64", protocol::pcm16Base64(samples)}}
             .dump() +
         "\n";
}

// One helper in this process, fed through a pipe, for the whole run.
struct Helper {
  Helper() {
    speech::AnalysisScript script;
    script.bestFormat = audio::AudioFormat{16000.0, 1, audio::SampleFormat::int16};
    analysis = std::make_shared<speech::ScriptedAnalysisService>(script);
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) std::abort();
    input = pipeFds[1];
    const int devNull = ::open("/dev/null", O_WRONLY);
    auto writer = std::make_shared<stt::JSONLineWriter>(devNull, devNull);
    platform::HelperPlatform helperPlatform;
    helperPlatform.osVersion = [] { return platform::linuxReportedOsVersion(nullptr); };
    helperPlatform.analysis = analysis;
    helperPlatform.recognizer = std::make_shared<speech::UnavailableRecognizerService>();
    std::thread([writer, helperPlatform, fd = pipeFds[0]] {
      stt::runStreaming(writer, helperPlatform, stt::makeSpeechBackend, fd);
    }).detach();
    send(R"({"type":"session.start","sessionId":"bench"})"
         "\n");
    analysis->waitUntil([](const auto& records) { return records.size() == 2; });
  }
  void send(const std::string& text) const {
    for (size_t done = 0; done < text.size();) {
      ssize_t n = ::write(input, text.data() + done, text.size() - done);
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
  }
  size_t analysed() const {
    size_t total = 0;
    for (const auto& record : analysis->analyzers()) total += record.analysed;
    return total;
  }
  std::shared_ptr<speech::ScriptedAnalysisService> analysis;
  int input = -1;
  size_t sent = 0;
};

constexpr int kBatch = 1000;

void BM_AudioCommandsThroughTheHelper(benchmark::State& state) {
  static Helper helper;
  std::string batch;
  for (int i = 0; i < kBatch; ++i) batch += audioLine(i);
  for (auto _ : state) {
    helper.send(batch);
    helper.sent += kBatch;
    helper.analysis->waitUntil(
        [&](const auto& records) {
          size_t total = 0;
          for (const auto& record : records) total += record.analysed;
          return total >= helper.sent;
        },
        std::chrono::minutes(1));
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_AudioCommandsThroughTheHelper)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_DecodingAloneOnOneThread(benchmark::State& state) {
  const std::string line = audioLine(42);
  const std::string_view text(line.data(), line.size() - 1);
  for (auto _ : state) {
    auto command = stt::decodeHelperCommand(text);
    auto buffer = stt::makePCMBuffer(*command->pcmBase64);
    benchmark::DoNotOptimize(buffer);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodingAloneOnOneThread);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::_Exit(0);  // the helper's threads run until the process ends
}
