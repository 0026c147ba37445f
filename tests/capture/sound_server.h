#pragma once
// A private sound server with one null output for the length of a test, started and stopped by
// scripts/pulse-test-server (PulseAudio), or by scripts/pipewire-test-server (PipeWire with its
// pulse server) when BRIMLOW_SOUND_SERVER is "pipewire". The destructor stops it by pid whatever
// the test's outcome.
#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace brimlow::testing {

class PrivateSoundServer {
 public:
  // Throws std::runtime_error when the server does not come up.
  PrivateSoundServer();
  ~PrivateSoundServer();
  PrivateSoundServer(const PrivateSoundServer&) = delete;
  PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

  static bool isPipeWire();
  // The default output the server starts with.
  static constexpr const char* kOutput = "brimlow_test";

  // What a client of this server needs in its environment.
  std::map<std::string, std::optional<std::string>> clientEnvironment() const;
  // The process that speaks the pulse protocol.
  pid_t serverPid() const { return serverPid_; }
  // Plays a file (paplay) into `output`, or into the default output; the returned process ends
  // when it has played.
  std::unique_ptr<ChildProcess> play(const std::string& path, const std::string& output = "") const;
  // Another null output, not the default, ready to be recorded.
  void addOutput(const std::string& name);
  // Runs pactl with `args`; its exit code.
  int pactl(std::vector<std::string> args) const;
  // Ends the server at once, as a crash would.
  void kill();

 private:
  void shutDown();
  std::string script_;
  std::string dir_;
  std::map<std::string, std::optional<std::string>> environment_;
  pid_t serverPid_ = -1;
};

// 16-bit mono samples of a WAV file (the test recordings are 16 kHz mono).
std::vector<int16_t> readWav16(const std::string& path, int* sampleRate = nullptr);
// 16-bit mono samples written to `path` as a WAV file.
void writeWav16(const std::string& path, const std::vector<int16_t>& samples, int sampleRate);
// A 16-bit mono WAV of a sine, written to `path`.
void writeSineWav(const std::string& path, int sampleRate, double seconds, double hz,
                  double amplitude);

}  // namespace brimlow::testing
