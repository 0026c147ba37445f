// Decoding speed and accuracy of the PocketSphinx engine with the settings both speech services
// use: the recordings are fed in 250 ms chunks to one long-lived decoder, each recording one
// utterance. Reports per clip the decoding time, the real-time factor, the cost of ending the
// utterance (ps_end_utt, part of every final's latency) and the word error rate against the
// reference transcription.
//
//   sphinx-engine-bench [--vocabulary] [--repeat N] [DIR]
//     DIR          a directory with *.wav (16 kHz mono) and a "transcription" (or
//                  "<dir>.transcription") file of lines
//                  "<s> words </s> (file-id)"; default /usr/share/pocketsphinx/test/data/librivox
//     --vocabulary bias the decoder with the reference sentences (an optimistic upper bound)
//     --repeat N   decode the set N times (default 1) and report every pass
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/word_errors.h"
#include "engines/pocketsphinx/decoder.h"
#include "engines/pocketsphinx/models.h"

namespace ps = brimlow::pocketsphinx;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

using brimlow::bench::editDistance;

std::map<std::string, std::string> readTranscription(const std::filesystem::path& file) {
  std::map<std::string, std::string> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    auto open = line.rfind('(');
    auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::string id = line.substr(open + 1, close - open - 1);
    std::string words;
    for (const auto& w : split(line.substr(0, open)))
      if (w != "<s>" && w != "</s>") words += (words.empty() ? "" : " ") + w;
    out[id] = words;
  }
  return out;
}

std::vector<int16_t> readWav(const std::filesystem::path& file) {
  SF_INFO info{};
  SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
  if (!f) return {};
  std::vector<int16_t> samples(static_cast<size_t>(info.frames) * info.channels);
  sf_read_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(f);
  if (info.samplerate != 16000 || info.channels != 1) return {};
  return samples;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path dir = "/usr/share/pocketsphinx/test/data/librivox";
  bool vocabulary = false;
  int repeat = 1;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--vocabulary")) {
      vocabulary = true;
    } else if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (argv[i][0] == '-') {
      std::fprintf(stderr, "usage: %s [--vocabulary] [--repeat N] [DIR]\n", argv[0]);
      return 2;
    } else {
      dir = argv[i];
    }
  }
  auto references = readTranscription(dir / "transcription");
  if (references.empty())
    references = readTranscription(dir / (dir.filename().string() + ".transcription"));
  if (references.empty()) {
    std::fprintf(stderr, "no transcription in %s\n", dir.c_str());
    return 1;
  }
  auto model = ps::findModel("en-US");
  if (!model) {
    std::fprintf(stderr, "no en-US model: %s\n", ps::installationAdvice("en-US").c_str());
    return 1;
  }
  const auto initStart = Clock::now();
  auto decoder = ps::Decoder::create(*model);
  if (!decoder) {
    std::fprintf(stderr, "%s\n", decoder.error().c_str());
    return 1;
  }
  const double initMs = ms(Clock::now() - initStart);
  double vocabularyMs = 0;
  if (vocabulary) {
    std::vector<std::string> phrases;
    for (const auto& [id, text] : references) phrases.push_back(text);
    const auto start = Clock::now();
    (*decoder)->setVocabulary(phrases);
    vocabularyMs = ms(Clock::now() - start);
  }
  std::printf("model %s\ndecoder init %.0f ms", model->directory.c_str(), initMs);
  if (vocabulary) std::printf(", vocabulary set-up %.0f ms", vocabularyMs);
  std::printf("\n");

  constexpr size_t kChunk = 4000;  // 250 ms
  for (int pass = 1; pass <= repeat; ++pass) {
    double audioSeconds = 0, decodeMs = 0, endUttTotal = 0, endUttMax = 0;
    size_t errors = 0, words = 0;
    std::vector<double> chunkMs;
    std::printf("\npass %d\n%-45s %6s %8s %6s %9s %5s\n", pass, "clip", "audio", "decode", "RTF",
                "end_utt", "WER");
    for (const auto& [id, reference] : references) {
      auto samples = readWav(dir / (id + ".wav"));
      if (samples.empty()) continue;
      ps::Decoder& d = **decoder;
      const auto start = Clock::now();
      d.startStream();
      d.startUtterance();
      for (size_t i = 0; i < samples.size(); i += kChunk) {
        const auto chunkStart = Clock::now();
        d.process(samples.data() + i, std::min(kChunk, samples.size() - i));
        (void)d.words();  // the services read the partial hypothesis after every chunk
        chunkMs.push_back(ms(Clock::now() - chunkStart));
      }
      const auto endStart = Clock::now();
      d.endUtterance();
      const double endMs = ms(Clock::now() - endStart);
      const std::string hypothesis = ps::joinWords(d.words());
      const double clipMs = ms(Clock::now() - start);
      const double seconds = samples.size() / 16000.0;
      const auto ref = split(reference);
      const size_t e = editDistance(ref, split(hypothesis));
      audioSeconds += seconds;
      decodeMs += clipMs;
      endUttTotal += endMs;
      endUttMax = std::max(endUttMax, endMs);
      errors += e;
      words += ref.size();
      std::printf("%-45s %5.2fs %6.0fms %6.3f %7.0fms %4.0f%%\n", id.c_str(), seconds, clipMs,
                  clipMs / 1000.0 / seconds, endMs, 100.0 * e / ref.size());
      std::printf("  ref: %s\n  hyp: %s\n", reference.c_str(), hypothesis.c_str());
    }
    std::sort(chunkMs.begin(), chunkMs.end());
    auto pct = [&](double p) {
      return chunkMs.empty() ? 0.0 : chunkMs[static_cast<size_t>(p * (chunkMs.size() - 1))];
    };
    std::printf("total: %.2f s audio, %.0f ms decoding, RTF %.3f, WER %.1f%% (%zu/%zu)\n",
                audioSeconds, decodeMs, decodeMs / 1000.0 / audioSeconds,
                100.0 * errors / std::max<size_t>(1, words), errors, words);
    std::printf(
        "end_utt: mean %.0f ms, max %.0f ms; 250 ms chunk: p50 %.1f ms, p95 %.1f ms, "
        "max %.1f ms\n",
        endUttTotal / references.size(), endUttMax, pct(0.5), pct(0.95), pct(1.0));
  }
  return 0;
}
