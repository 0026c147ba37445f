// echo-probe: one microphone recording through the session echo processing offline, against the
// loudspeaker recording it heard, with the two streams cut into chunks and relayed as a host
// relays them (each chunk arrives when its last sample has been captured). Writes the processed
// microphone audio and prints how long audio waited for its reference.
//
//   echo_probe FAR.wav MIC.wav OUT.wav [--offset-ms N] [--mic-chunk-ms N] [--phase-ms N]
//              [--linear 0|1] [--suppressor 0|1] [--tail-ms N] [--suppression low|moderate|high]
//              [--delay-agnostic 0|1] [--noise-suppression 0|1] [--gate 0|1] [--margin-db N]
//              [--attenuation-db N] [--target-ms N] [--hold-ms N] [--bypass 1]
#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "stt-helper/echo/session_echo.h"

using namespace brimlow;

namespace {

std::vector<int16_t> readWav(const char* path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path, SFM_READ, &info);
  if (!file || info.samplerate != 16000 || info.channels != 1) {
    std::fprintf(stderr, "%s: not a 16 kHz mono file\n", path);
    std::exit(2);
  }
  std::vector<int16_t> samples(static_cast<size_t>(info.frames));
  sf_read_short(file, samples.data(), info.frames);
  sf_close(file);
  return samples;
}

void writeWav(const char* path, const std::vector<int16_t>& samples) {
  SF_INFO info{};
  info.samplerate = 16000;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path, SFM_WRITE, &info);
  sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
}

audio::PcmBufferPtr bufferOf(const std::vector<int16_t>& samples, size_t from, size_t count) {
  auto buffer = audio::PcmBuffer::make(audio::pcm16Mono16k(), static_cast<uint32_t>(count));
  std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(from), count,
              buffer->int16ChannelData(0));
  buffer->setFrameLength(static_cast<uint32_t>(count));
  return buffer;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s FAR.wav MIC.wav OUT.wav [options]\n", argv[0]);
    return 2;
  }
  std::map<std::string, std::string> options;
  for (int i = 4; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
  auto number = [&](const char* name, double fallback) {
    auto found = options.find(name);
    return found == options.end() ? fallback : std::atof(found->second.c_str());
  };
  stt::SessionEchoSettings settings;
  const std::string level = options.count("--suppression") ? options["--suppression"] : "low";
  using Suppression = audio::EchoCancellerSettings::Suppression;
  settings.canceller.suppression = level == "high"       ? Suppression::high
                                   : level == "moderate" ? Suppression::moderate
                                                         : Suppression::low;
  settings.canceller.linearFilter = number("--linear", 1) != 0;
  settings.canceller.suppressor = number("--suppressor", 1) != 0;
  settings.canceller.linearTailMs = static_cast<int>(number("--tail-ms", 400));
  settings.canceller.delayAgnostic = number("--delay-agnostic", 0) != 0;
  settings.canceller.noiseSuppression = number("--noise-suppression", 0) != 0;
  settings.gate = number("--gate", settings.gate) != 0;
  settings.gateMarginDb = number("--margin-db", settings.gateMarginDb);
  settings.gateAttenuationDb = number("--attenuation-db", settings.gateAttenuationDb);
  settings.targetDelayMs = static_cast<int>(number("--target-ms", settings.targetDelayMs));
  settings.holdMs = number("--hold-ms", settings.holdMs);
  settings.startupMarginDb = number("--startup-db", settings.startupMarginDb);
  const double offsetMs = number("--offset-ms", 0);  // added to the far stream's stamps
  const double micChunkMs = number("--mic-chunk-ms", 250);
  const double phaseMs = number("--phase-ms", 0);  // mic chunk boundaries after far ones
  const bool bypass = number("--bypass", 0) != 0;

  const auto far = readWav(argv[1]);
  const auto mic = readWav(argv[2]);
  auto echo = std::make_unique<stt::SessionEcho>(settings);

  // Every chunk as an event at its arrival time (real time of its last sample), far first
  // where both arrive together.
  struct Arrival {
    double at;
    bool isFar;
    size_t from, count;
    double stamp;
  };
  std::vector<Arrival> arrivals;
  const double base = 1.0e12;  // an epoch-like clock
  for (size_t from = 0; from < far.size(); from += 4000) {
    const size_t count = std::min<size_t>(4000, far.size() - from);
    arrivals.push_back(
        {base + (from + count) / 16.0, true, from, count, base + from / 16.0 + offsetMs});
  }
  const size_t micChunk = static_cast<size_t>(micChunkMs * 16);
  size_t first = static_cast<size_t>(phaseMs * 16) % micChunk;
  if (first > 0) arrivals.push_back({base + first / 16.0, false, 0, first, base});
  for (size_t from = first; from < mic.size(); from += micChunk) {
    const size_t count = std::min(micChunk, mic.size() - from);
    arrivals.push_back({base + (from + count) / 16.0, false, from, count, base + from / 16.0});
  }
  std::stable_sort(arrivals.begin(), arrivals.end(), [](const Arrival& a, const Arrival& b) {
    return a.at < b.at || (a.at == b.at && a.isFar && !b.isFar);
  });

  std::vector<int16_t> out;
  std::vector<double> waits;
  auto take = [&](const std::vector<stt::TimedBuffer>& pieces, double now) {
    for (const auto& piece : pieces) {
      const int16_t* s = piece.buffer->int16ChannelData(0);
      out.insert(out.end(), s, s + piece.buffer->frameLength());
      // The piece's last sample was captured at its stamp plus its length.
      waits.push_back(now - (piece.capturedAt + piece.buffer->frameLength() / 16.0));
    }
  };
  for (const auto& a : arrivals) {
    // Held audio whose time is up goes before the next chunk arrives.
    while (auto deadline = echo->holdDeadline()) {
      if (*deadline > a.at) break;
      take(echo->release(*deadline), *deadline);
      if (echo->holdDeadline() == deadline) break;
    }
    if (a.isFar) {
      echo->addRemote(*bufferOf(far, a.from, a.count), a.stamp, a.at);
      take(echo->release(a.at), a.at);
    } else if (bypass) {
      const auto buffer = bufferOf(mic, a.from, a.count);
      take({{buffer, a.stamp}}, a.at);
    } else {
      take(echo->addSelf(bufferOf(mic, a.from, a.count), a.stamp, a.at), a.at);
    }
  }
  take(echo->releaseAll(), arrivals.empty() ? base : arrivals.back().at);
  if (auto failure = echo->takeFailure()) {
    std::fprintf(stderr, "%s\n", failure->c_str());
    return 1;
  }
  writeWav(argv[3], out);
  std::sort(waits.begin(), waits.end());
  double mean = 0;
  for (double w : waits) mean += w;
  if (!waits.empty()) mean /= static_cast<double>(waits.size());
  const auto delay = echo->delayMs();
  std::printf("delay %s ms, pieces %zu, wait after capture mean %.0f ms, max %.0f ms\n",
              delay ? std::to_string(*delay).c_str() : "unknown", waits.size(), mean,
              waits.empty() ? 0.0 : waits.back());
  return 0;
}
