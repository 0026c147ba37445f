#pragma once
// Speech for the real-engine tests: recordings of pocketsphinx-testdata and sentences spoken by
// flite, as 16 kHz mono samples.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace brimlow::testing {

inline const char* kGoForward = "/usr/share/pocketsphinx/test/data/goforward.raw";
inline const char* kLibrivox = "/usr/share/pocketsphinx/test/data/librivox/";

inline std::vector<char> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::vector<int16_t> readRaw(const std::string& path) {
  const auto bytes = readBytes(path);
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// The samples of a 16-bit WAV file: its "data" chunk.
inline std::vector<int16_t> readWav(const std::string& path) {
  const auto bytes = readBytes(path);
  for (size_t at = 12; at + 8 <= bytes.size();) {
    uint32_t size = 0;
    std::memcpy(&size, bytes.data() + at + 4, 4);
    if (std::string(bytes.data() + at, 4) == "data") {
      std::vector<int16_t> samples(std::min<size_t>(size, bytes.size() - at - 8) / 2);
      std::memcpy(samples.data(), bytes.data() + at + 8, samples.size() * 2);
      return samples;
    }
    at += 8 + size + (size & 1);
  }
  return {};
}

// A sentence spoken by flite's slt voice (16 kHz mono), made afresh: flite is deterministic.
inline std::vector<int16_t> synthesise(const std::string& sentence) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("brimlow-flite-" + std::to_string(::getpid()) + ".wav");
  const std::string command =
      "flite -voice slt -t '" + sentence + "' -o '" + path.string() + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) return {};
  auto samples = readWav(path.string());
  std::filesystem::remove(path);
  return samples;
}

}  // namespace brimlow::testing
