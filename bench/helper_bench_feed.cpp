#include "bench/helper_bench_feed.h"

#include <sndfile.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "protocol/pcm_base64.h"

namespace brimlow::bench {

namespace {

// The samples of a 16 kHz mono recording; false for any other file.
bool readSamples(const std::filesystem::path& path, Clip& clip) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return false;
  clip.samples.resize(static_cast<size_t>(info.frames) * info.channels);
  sf_read_short(f, clip.samples.data(), static_cast<sf_count_t>(clip.samples.size()));
  sf_close(f);
  return info.samplerate == 16000 && info.channels == 1;
}

}  // namespace

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
    if (readSamples(dir / (clip.id + ".wav"), clip)) clips.push_back(std::move(clip));
  }
  std::sort(clips.begin(), clips.end(), [](auto& a, auto& b) { return a.id < b.id; });
  return clips;
}

std::vector<Clip> readClipsWithTexts(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> paths;
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, ec))
    if (entry.path().extension() == ".wav") paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  std::vector<Clip> clips;
  for (const auto& path : paths) {
    std::ifstream text(std::filesystem::path(path).replace_extension(".txt"));
    Clip clip;
    clip.id = std::filesystem::relative(path, dir, ec).replace_extension().string();
    if (!std::getline(text, clip.reference) || clip.reference.empty()) continue;
    if (readSamples(path, clip)) clips.push_back(std::move(clip));
  }
  return clips;
}

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

std::string audioLine(const std::string& session, const std::string& source, size_t sequence,
                      double capturedAt, const int16_t* samples) {
  nlohmann::json line = {
      {"type", "audio"},          {"sessionId", session},
      {"source", source},         {"sequence", sequence},
      {"capturedAt", capturedAt}, {"pcmBase64", protocol::pcm16Base64({samples, kChunk})}};
  return line.dump() + "\n";
}

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

}  // namespace brimlow::bench
