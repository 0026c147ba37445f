#pragma once
// Acoustic echo cancellation: removes from the microphone's signal what the loudspeakers played,
// given what they played, in 10 ms frames of 16 kHz mono PCM16. Two stages: a long linear filter
// (speexdsp's multidelay filter) takes out the echo the room makes of the loudspeakers, and
// WebRTC's audio processing module then removes what the filter left (its own short filter, its
// residual suppression and a high-pass filter). Their headers stay inside echo_canceller.cpp.
//
// Threads: one canceller is used from one thread at a time; it holds no lock.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/expected.h"

namespace brimlow::audio {

struct EchoCancellerSettings {
  // Which stages run; both by default. Either alone serves for comparisons.
  bool linearFilter = true;
  bool suppressor = true;
  int linearTailMs = 400;  // the longest echo the linear filter models
  enum class Suppression { low, moderate, high };
  // How hard the suppressor works on what is left: higher levels leave less echo and damage
  // more of the local voice where both sides talk at once.
  Suppression suppression = Suppression::low;
  // Let the suppressor estimate a delay of its own on top of its caller's alignment.
  bool delayAgnostic = false;
  bool noiseSuppression = false;
};

// What one frame went through.
struct EchoFrameResult {
  // Mean squares (full scale 1) of the echo the linear filter predicted and of the frame once
  // that echo was taken out; both 0 without the linear stage.
  double predictedEcho = 0;
  double afterLinear = 0;
};

class EchoCanceller {
 public:
  static constexpr uint32_t kFrameSamples = 160;  // 10 ms at 16 kHz

  // Fails with the failed call and its code.
  static Expected<std::unique_ptr<EchoCanceller>, std::string> make(
      const EchoCancellerSettings& settings);

  ~EchoCanceller();
  EchoCanceller(const EchoCanceller&) = delete;
  EchoCanceller& operator=(const EchoCanceller&) = delete;

  // Removes the echo from one microphone frame, in place, given what the loudspeakers played
  // over the frame that the caller aligned with it.
  EchoFrameResult process(int16_t* microphone, const int16_t* loudspeakers);

 private:
  struct Stages;
  explicit EchoCanceller(std::unique_ptr<Stages> stages);
  std::unique_ptr<Stages> stages_;
};

}  // namespace brimlow::audio
