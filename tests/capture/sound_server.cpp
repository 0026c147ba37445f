#include "tests/capture/sound_server.h"

#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <stdexcept>

namespace brimlow::testing {

namespace {
const std::string kScript = std::string(BRIMLOW_SOURCE_DIR) + "/scripts/pulse-test-server";
}

PrivateSoundServer::PrivateSoundServer() {
  std::string pattern = "/tmp/brimlow-pulse-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  ChildProcess start("/bin/bash", {kScript, "start", dir_});
  auto status = start.wait(30s);
  std::ifstream pidFile(dir_ + "/server.pid");
  pidFile >> serverPid_;
  if (!status.exited || status.code != 0) {
    std::string why = start.stderrText();
    shutDown();
    throw std::runtime_error("private sound server did not start: " + why);
  }
}

PrivateSoundServer::~PrivateSoundServer() {
  shutDown();
}

void PrivateSoundServer::shutDown() {
  if (dir_.empty()) return;
  ChildProcess stop("/bin/bash", {kScript, "stop", dir_});
  if (!stop.wait(15s).exited && serverPid_ > 0) ::kill(serverPid_, SIGKILL);
  dir_.clear();
}

std::map<std::string, std::optional<std::string>> PrivateSoundServer::clientEnvironment() const {
  return {{"PULSE_SERVER", "unix:" + dir_ + "/native"},
          {"XDG_RUNTIME_DIR", dir_ + "/runtime"},
          {"HOME", dir_ + "/home"}};
}

std::unique_ptr<ChildProcess> PrivateSoundServer::play(const std::string& path) const {
  return std::make_unique<ChildProcess>("/usr/bin/paplay",
                                        ChildProcess::Options{{path}, clientEnvironment(), false});
}

void PrivateSoundServer::kill() {
  if (serverPid_ > 0) ::kill(serverPid_, SIGKILL);
}

std::vector<int16_t> readWav16(const std::string& path, int* sampleRate) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::vector<int16_t> interleaved(static_cast<size_t>(info.frames * info.channels));
  sf_readf_short(file, interleaved.data(), info.frames);
  sf_close(file);
  if (sampleRate) *sampleRate = info.samplerate;
  std::vector<int16_t> mono(static_cast<size_t>(info.frames));
  for (size_t f = 0; f < mono.size(); ++f) mono[f] = interleaved[f * info.channels];
  return mono;
}

void writeSineWav(const std::string& path, int sampleRate, double seconds, double hz,
                  double amplitude) {
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) throw std::runtime_error("cannot write " + path);
  std::vector<short> samples(static_cast<size_t>(seconds * sampleRate));
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<short>(
        std::lround(amplitude * 32767.0 * std::sin(2.0 * std::numbers::pi * hz * i / sampleRate)));
  sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
}

}  // namespace brimlow::testing
