#include "support/audio/echo_canceller.h"

#include <speex/speex_echo.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <optional>

namespace brimlow::audio {

namespace {

constexpr int kRate = 16000;

webrtc::EchoCancellation::SuppressionLevel levelOf(EchoCancellerSettings::Suppression level) {
  switch (level) {
    case EchoCancellerSettings::Suppression::moderate:
      return webrtc::EchoCancellation::kModerateSuppression;
    case EchoCancellerSettings::Suppression::high:
      return webrtc::EchoCancellation::kHighSuppression;
    case EchoCancellerSettings::Suppression::low:
      break;
  }
  return webrtc::EchoCancellation::kLowSuppression;
}

std::optional<std::string> failed(int code, const char* call) {
  if (code == webrtc::AudioProcessing::kNoError) return std::nullopt;
  return std::string(call) + " failed with code " + std::to_string(code);
}

Expected<std::unique_ptr<webrtc::AudioProcessing>, std::string> makeSuppressor(
    const EchoCancellerSettings& settings) {
  webrtc::Config config;
  // The extended filter covers what the linear stage leaves of longer room tails.
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(settings.delayAgnostic));
  std::unique_ptr<webrtc::AudioProcessing> module(webrtc::AudioProcessing::Create(config));
  if (!module) return unexpected(std::string("AudioProcessing::Create() failed"));
  const auto mono = webrtc::AudioProcessing::kMono;
  std::optional<std::string> error = failed(
      module->Initialize(kRate, kRate, kRate, mono, mono, mono), "AudioProcessing::Initialize()");
  if (!error) error = failed(module->high_pass_filter()->Enable(true), "HighPassFilter::Enable()");
  if (!error)
    error = failed(module->noise_suppression()->Enable(settings.noiseSuppression),
                   "NoiseSuppression::Enable()");
  auto* echo = module->echo_cancellation();
  if (!error)
    error = failed(echo->set_suppression_level(levelOf(settings.suppression)),
                   "EchoCancellation::set_suppression_level()");
  if (!error) error = failed(echo->Enable(true), "EchoCancellation::Enable()");
  if (error) return unexpected(*error);
  return module;
}

}  // namespace

struct EchoCanceller::Stages {
  SpeexEchoState* linear = nullptr;
  std::unique_ptr<webrtc::AudioProcessing> suppressor;
  webrtc::AudioFrame far;
  webrtc::AudioFrame near;

  ~Stages() {
    if (linear) speex_echo_state_destroy(linear);
  }
};

EchoCanceller::EchoCanceller(std::unique_ptr<Stages> stages) : stages_(std::move(stages)) {}
EchoCanceller::~EchoCanceller() = default;

Expected<std::unique_ptr<EchoCanceller>, std::string> EchoCanceller::make(
    const EchoCancellerSettings& settings) {
  auto stages = std::make_unique<Stages>();
  if (settings.linearFilter) {
    stages->linear = speex_echo_state_init(static_cast<int>(kFrameSamples),
                                           settings.linearTailMs * kRate / 1000);
    if (!stages->linear) return unexpected(std::string("speex_echo_state_init() failed"));
    int rate = kRate;
    speex_echo_ctl(stages->linear, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
  }
  if (settings.suppressor) {
    auto suppressor = makeSuppressor(settings);
    if (!suppressor) return unexpected(suppressor.error());
    stages->suppressor = std::move(suppressor.value());
    for (webrtc::AudioFrame* frame : {&stages->far, &stages->near}) {
      frame->sample_rate_hz_ = kRate;
      frame->num_channels_ = 1;
      frame->samples_per_channel_ = kFrameSamples;
    }
  }
  return std::unique_ptr<EchoCanceller>(new EchoCanceller(std::move(stages)));
}

EchoFrameResult EchoCanceller::process(int16_t* microphone, const int16_t* loudspeakers) {
  EchoFrameResult result;
  if (stages_->linear) {
    int16_t out[kFrameSamples];
    speex_echo_cancellation(stages_->linear, microphone, loudspeakers, out);
    for (uint32_t i = 0; i < kFrameSamples; ++i) {
      const double echo = (microphone[i] - out[i]) / 32768.0;
      const double left = out[i] / 32768.0;
      result.predictedEcho += echo * echo;
      result.afterLinear += left * left;
    }
    result.predictedEcho /= kFrameSamples;
    result.afterLinear /= kFrameSamples;
    std::copy_n(out, kFrameSamples, microphone);
  }
  if (stages_->suppressor) {
    std::copy_n(loudspeakers, kFrameSamples, stages_->far.data_);
    stages_->suppressor->ProcessReverseStream(&stages_->far);
    std::copy_n(microphone, kFrameSamples, stages_->near.data_);
    // The caller aligned the reference with the microphone: nothing lies between them but the
    // room.
    stages_->suppressor->set_stream_delay_ms(0);
    // A frame the module refuses goes on as the linear stage left it.
    if (stages_->suppressor->ProcessStream(&stages_->near) == webrtc::AudioProcessing::kNoError)
      std::copy_n(stages_->near.data_, kFrameSamples, microphone);
  }
  return result;
}

}  // namespace brimlow::audio
