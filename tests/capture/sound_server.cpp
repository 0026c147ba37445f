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

bool PrivateSoundServer::isPipeWire() {
  const char* kind = std::getenv("BRIMLOW_SOUND_SERVER");
  return kind && std::string(kind) == "pipewire";
}

PrivateSoundServer::PrivateSoundServer()
    : script_(std::string(BRIMLOW_SOURCE_DIR) +
              (isPipeWire() ? "/scripts/pipewire-test-server" : "/scripts/pulse-test-server")) {
  std::string pattern = "/tmp/brimlow-sound-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  ChildProcess start("/bin/bash", {script_, "start", dir_, kOutput});
  auto status = start.wait(30s);
  std::ifstream pidFile(dir_ + (isPipeWire() ? "/pipewire-pulse.pid" : "/server.pid"));
  pidFile >> serverPid_;
  if (!status.exited || status.code != 0) {
    std::string why = start.stderrText();
    shutDown();
    throw std::runtime_error("private sound server did not start: " + why);
  }
  ChildProcess env("/bin/bash", {script_, "env", dir_});
  for (const auto& line : env.readAllLines()) {
    auto equals = line.find('=');
    if (equals != std::string::npos) environment_[line.substr(0, equals)] = line.substr(equals + 1);
  }
}

PrivateSoundServer::~PrivateSoundServer() {
  shutDown();
}

void PrivateSoundServer::shutDown() {
  if (dir_.empty()) return;
  ChildProcess stop("/bin/bash", {script_, "stop", dir_});
  if (!stop.wait(15s).exited && serverPid_ > 0) ::kill(serverPid_, SIGKILL);
  dir_.clear();
}

std::map<std::string, std::optional<std::string>> PrivateSoundServer::clientEnvironment() const {
  return environment_;
}

std::unique_ptr<ChildProcess> PrivateSoundServer::play(const std::string& path,
                                                       const std::string& output) const {
  std::vector<std::string> args{path};
  if (!output.empty()) args.insert(args.begin(), "--device=" + output);
  return std::make_unique<ChildProcess>(
      "/usr/bin/paplay", ChildProcess::Options{std::move(args), clientEnvironment(), false});
}

void PrivateSoundServer::addOutput(const std::string& name) {
  ChildProcess add("/bin/bash", {script_, "add-output", dir_, name});
  auto status = add.wait(30s);
  if (!status.exited || status.code != 0)
    throw std::runtime_error("no output " + name + ": " + add.stderrText());
}

int PrivateSoundServer::pactl(std::vector<std::string> args) const {
  ChildProcess run("/usr/bin/pactl",
                   ChildProcess::Options{std::move(args), clientEnvironment(), false});
  return run.wait(15s).code;
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

void writeWav16(const std::string& path, const std::vector<int16_t>& samples, int sampleRate) {
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) throw std::runtime_error("cannot write " + path);
  sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
}

void writeSineWav(const std::string& path, int sampleRate, double seconds, double hz,
                  double amplitude) {
  std::vector<int16_t> samples(static_cast<size_t>(seconds * sampleRate));
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(
        std::lround(amplitude * 32767.0 * std::sin(2.0 * std::numbers::pi * hz * i / sampleRate)));
  writeWav16(path, samples, sampleRate);
}

}  // namespace brimlow::testing
