#include "tests/scripted/scripted_capture.h"

#include <cmath>
#include <numbers>

#include <asio/post.hpp>

namespace brimlow::platform::scripted {

ScriptedStream::ScriptedStream(const CaptureScript& script,
                               std::weak_ptr<capture::StreamDelegate> delegate)
    : script_(script), delegate_(std::move(delegate)) {}

std::optional<capture::CaptureError> ScriptedStream::addStreamOutput(
    std::weak_ptr<capture::StreamOutput> output, capture::OutputType type,
    asio::any_io_executor queue) {
  if (script_.addOutputError) return script_.addOutputError;
  std::lock_guard guard(lock_);
  if (type == capture::OutputType::audio) {
    output_ = std::move(output);
    queue_ = std::move(queue);
  }
  return std::nullopt;
}

void ScriptedStream::startCapture(capture::Completion done) {
  {
    std::lock_guard guard(lock_);
    ++startCalls_;
  }
  if (script_.startError) return done(script_.startError);
  for (const auto& buffer : script_.buffers) deliver(buffer);
  done(std::nullopt);
}

void ScriptedStream::stopCapture(capture::Completion done) {
  {
    std::lock_guard guard(lock_);
    ++stopCalls_;
  }
  done(script_.stopError);
}

void ScriptedStream::deliver(capture::SampleBuffer buffer, capture::OutputType type) {
  std::lock_guard guard(lock_);
  if (!queue_) return;
  asio::post(*queue_,
             [output = output_, self = weak_from_this(), buffer = std::move(buffer), type] {
               auto target = output.lock();
               auto stream = self.lock();
               if (target && stream) target->didOutputSampleBuffer(*stream, buffer, type);
             });
}

void ScriptedStream::systemStop(capture::CaptureError error) {
  std::lock_guard guard(lock_);
  auto call = [delegate = delegate_, self = weak_from_this(), error = std::move(error)] {
    auto target = delegate.lock();
    auto stream = self.lock();
    if (target && stream) target->didStopWithError(*stream, error);
  };
  if (queue_)
    asio::post(*queue_, std::move(call));
  else
    call();
}

int ScriptedStream::startCalls() const {
  std::lock_guard guard(lock_);
  return startCalls_;
}

int ScriptedStream::stopCalls() const {
  std::lock_guard guard(lock_);
  return stopCalls_;
}

void ScriptedCaptureService::getShareableContent(
    bool, bool,
    std::function<void(Expected<capture::ShareableContent, capture::CaptureError>)> done) {
  if (script_.contentNeverAnswers) {
    std::lock_guard guard(lock_);
    unanswered_.push_back(std::move(done));
    return;
  }
  if (script_.contentError) return done(unexpected(*script_.contentError));
  done(capture::ShareableContent{script_.displays, script_.applications});
}

std::shared_ptr<capture::Stream> ScriptedCaptureService::makeStream(
    const capture::ContentFilter& filter, const capture::StreamConfiguration& configuration,
    std::weak_ptr<capture::StreamDelegate> delegate) {
  auto stream = std::make_shared<ScriptedStream>(script_, std::move(delegate));
  std::lock_guard guard(lock_);
  filter_ = filter;
  configuration_ = configuration;
  stream_ = stream;
  return stream;
}

std::optional<capture::ContentFilter> ScriptedCaptureService::lastFilter() const {
  std::lock_guard guard(lock_);
  return filter_;
}

std::optional<capture::StreamConfiguration> ScriptedCaptureService::lastConfiguration() const {
  std::lock_guard guard(lock_);
  return configuration_;
}

std::shared_ptr<ScriptedStream> ScriptedCaptureService::lastStream() const {
  std::lock_guard guard(lock_);
  return stream_;
}

std::vector<capture::SampleBuffer> sineBuffers(const audio::AudioFormat& format,
                                               uint32_t framesPerBuffer, size_t bufferCount,
                                               double frequencyHz, double amplitude) {
  std::vector<capture::SampleBuffer> buffers;
  uint64_t frame = 0;
  for (size_t b = 0; b < bufferCount; ++b) {
    auto pcm = audio::PcmBuffer::make(format, framesPerBuffer);
    for (uint32_t f = 0; f < framesPerBuffer; ++f, ++frame) {
      double value = amplitude * std::sin(2.0 * std::numbers::pi * frequencyHz *
                                          static_cast<double>(frame) / format.sampleRate);
      for (uint32_t ch = 0; ch < format.channelCount; ++ch) {
        if (format.sampleFormat == audio::SampleFormat::int16)
          pcm->int16ChannelData(ch)[f] = static_cast<int16_t>(std::lround(value * 32767.0));
        else
          pcm->floatChannelData(ch)[f] = static_cast<float>(value);
      }
    }
    pcm->setFrameLength(framesPerBuffer);
    buffers.emplace_back(std::move(pcm));
  }
  return buffers;
}

std::optional<CaptureScript> namedCaptureScript(const std::string& name) {
  using audio::AudioFormat;
  using audio::SampleFormat;
  CaptureScript script;
  // 1.1 s of a 440 Hz tone at half scale: four whole chunks and a rest.
  if (name == "48k-stereo-float") {
    script.buffers = sineBuffers(AudioFormat{48000.0, 2, SampleFormat::float32}, 960, 55, 440, 0.5);
  } else if (name == "44k-stereo-float") {
    script.buffers =
        sineBuffers(AudioFormat{44100.0, 2, SampleFormat::float32}, 441, 110, 440, 0.5);
  } else if (name == "16k-mono-int16") {
    script.buffers = sineBuffers(AudioFormat{16000.0, 1, SampleFormat::int16}, 320, 55, 440, 0.5);
  } else if (name == "no-display") {
    script.displays.clear();
  } else if (name == "content-fails") {
    script.contentError =
        capture::CaptureError{"com.apple.ScreenCaptureKit.SCStreamErrorDomain", -3801,
                              "The user declined TCCs for application, window, display capture"};
  } else if (name == "content-hangs") {
    script.contentNeverAnswers = true;
  } else if (name == "start-fails") {
    script.startError = capture::CaptureError{"com.apple.ScreenCaptureKit.SCStreamErrorDomain",
                                              -3805, "Failed to start the stream."};
  } else if (name == "stop-fails") {
    script.buffers = sineBuffers(AudioFormat{48000.0, 2, SampleFormat::float32}, 960, 55, 440, 0.5);
    script.stopError = capture::CaptureError{"com.apple.ScreenCaptureKit.SCStreamErrorDomain",
                                             -3808, "The stream is not running."};
  } else {
    return std::nullopt;
  }
  return script;
}

}  // namespace brimlow::platform::scripted
