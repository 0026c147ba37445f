#include "audio-capture/system_audio_capture.h"

#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <future>

#include <asio/post.hpp>

namespace brimlow::capture {

namespace pc = platform::capture;

namespace {

// Waits for a completion handler that may run on any thread, at most once.
template <class T>
struct Waiter {
  std::shared_ptr<std::promise<T>> promise = std::make_shared<std::promise<T>>();
  std::shared_ptr<std::once_flag> once = std::make_shared<std::once_flag>();
  auto handler() {
    return [promise = promise, once = once](T value) {
      std::call_once(*once, [&] { promise->set_value(std::move(value)); });
    };
  }
  T wait() { return promise->get_future().get(); }
};

}  // namespace

double chunkLevel(std::span<const int16_t> samples) {
  double sum = 0.0;
  for (int16_t s : samples) {
    double x = static_cast<double>(s) / 32767.0;
    sum += x * x;
  }
  double mean = sum / static_cast<double>(std::max<size_t>(1, samples.size()));
  return std::min(1.0, std::sqrt(mean) * 5.0);
}

std::string encodePCM16(std::span<const int16_t> samples) {
  std::vector<unsigned char> bytes(samples.size() * 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    auto u = static_cast<uint16_t>(samples[i]);
    bytes[2 * i] = static_cast<unsigned char>(u & 0xFF);
    bytes[2 * i + 1] = static_cast<unsigned char>(u >> 8);
  }
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  text.resize(text.size() - 1);  // the terminating NUL
  return text;
}

std::shared_ptr<SystemAudioCapture> SystemAudioCapture::make(WriterPtr writer,
                                                             pc::CapturePlatform platform) {
  return std::shared_ptr<SystemAudioCapture>(
      new SystemAudioCapture(std::move(writer), std::move(platform)));
}

SystemAudioCapture::SystemAudioCapture(WriterPtr writer, pc::CapturePlatform platform)
    : writer_(std::move(writer)),
      platform_(std::move(platform)),
      audioQueue_(std::make_unique<asio::thread_pool>(1)) {}

SystemAudioCapture::~SystemAudioCapture() {
  audioQueue_->stop();
  // The last reference can go away inside a buffer handler; a thread cannot join itself, so the
  // queue is left to end with the process then.
  if (audioQueue_->get_executor().running_in_this_thread()) {
    (void)audioQueue_.release();
    return;
  }
  audioQueue_->join();
}

std::optional<StartFailure> SystemAudioCapture::start() {
  writer_->status("requesting", "画面とシステムオーディオの録音権限を確認しています。");

  Waiter<Expected<pc::ShareableContent, pc::CaptureError>> content;
  platform_.capture->getShareableContent(false, false, content.handler());
  auto shareable = content.wait();
  if (!shareable) return shareable.error();
  if (shareable->displays.empty()) return CaptureFailure::displayUnavailable();
  const pc::Display display = shareable->displays.front();

  // The host's sound and our own are not the meeting's.
  const pid_t parent = ::getppid();
  const pid_t self = ::getpid();
  std::vector<pc::RunningApplication> excluded;
  for (const auto& app : shareable->applications) {
    if (app.processID == parent || app.processID == self) excluded.push_back(app);
  }
  pc::ContentFilter filter{display, excluded};

  pc::StreamConfiguration configuration;
  configuration.width = 2;
  configuration.height = 2;
  configuration.minimumFrameIntervalSeconds = 1.0;
  configuration.queueDepth = 1;
  configuration.showsCursor = false;
  configuration.capturesAudio = true;
  configuration.excludesCurrentProcessAudio = true;
  configuration.sampleRate = static_cast<uint32_t>(targetSampleRate);
  configuration.channelCount = 1;
  if (platform_.osVersion && platform_.osVersion() >= platform::OsVersion{15, 0, 0})
    configuration.captureMicrophone = false;

  auto stream = platform_.capture->makeStream(filter, configuration, weak_from_this());
  if (auto error = stream->addStreamOutput(weak_from_this(), pc::OutputType::audio, audioQueue()))
    return *error;
  {
    std::lock_guard guard(streamLock_);
    stream_ = stream;
  }

  Waiter<std::optional<pc::CaptureError>> started;
  stream->startCapture(started.handler());
  if (auto error = started.wait()) return *error;

  // "started" is written on the audio queue, and chunks wait for it there, so that no chunk of
  // audio that arrived while the stream was starting can come before it.
  Waiter<bool> announced;
  asio::post(*audioQueue_, [this, done = announced.handler()] {
    // A stop that came in meanwhile has already said "stopped"; "started" after it would
    // mislead.
    if (!stopping_.load()) {
      writer_->status("started", "Macのシステム音声を取得しています。", true);
      announced_ = true;
      append({});
    }
    done(true);
  });
  announced.wait();
  return std::nullopt;
}

void SystemAudioCapture::stop() {
  if (stopping_.exchange(true)) return;
  std::shared_ptr<pc::Stream> stream;
  {
    std::lock_guard guard(streamLock_);
    stream = stream_;
  }
  if (!stream) return;
  Waiter<std::optional<pc::CaptureError>> stopped;
  stream->stopCapture(stopped.handler());
  if (auto error = stopped.wait())
    writer_->error("システム音声の停止処理に失敗しました: " + error->description);
  {
    std::lock_guard guard(streamLock_);
    stream_.reset();
  }
  writer_->status("stopped", "システム音声の取得を停止しました。", false);
}

void SystemAudioCapture::didStopWithError(pc::Stream&, const pc::CaptureError& error) {
  if (stopping_.load()) return;
  writer_->error("システム音声の取得が停止しました: " + error.description);
}

void SystemAudioCapture::didOutputSampleBuffer(pc::Stream&, const pc::SampleBuffer& buffer,
                                               pc::OutputType type) {
  if (type != pc::OutputType::audio || !buffer.isValid() || buffer.numSamples() == 0 ||
      stopping_.load())
    return;
  auto samples = convertToPCM16(buffer);
  if (!samples) {
    writer_->error(samples.error().description());
    return;
  }
  append(*samples);
}

Expected<std::vector<int16_t>, CaptureFailure> SystemAudioCapture::convertToPCM16(
    const pc::SampleBuffer& buffer) {
  const auto& description = buffer.formatDescription();
  if (!description) return unexpected(CaptureFailure::audioFormatUnavailable());
  const audio::AudioFormat inputFormat = *description;
  const uint32_t frames = buffer.numSamples();

  auto input = audio::PcmBuffer::make(inputFormat, frames);
  if (!input) return unexpected(CaptureFailure::audioBufferUnavailable());
  input->setFrameLength(frames);
  if (int status = buffer.copyPCMData(*input); status != 0) {
    return unexpected(CaptureFailure::conversionFailed(
        "CMSampleBufferCopyPCMDataIntoAudioBufferList=" + std::to_string(status)));
  }

  std::vector<int16_t> samples;
  if (!converter_ || !converterInputFormat_ || *converterInputFormat_ != inputFormat) {
    // What the old converter's filter still holds belongs before the new format's audio.
    if (converter_) {
      auto tail = audio::PcmBuffer::make(
          targetFormat_, static_cast<uint32_t>(std::ceil(converter_->delayFrames())) + 64);
      if (tail && converter_->flush(*tail) != audio::Converter::Status::error)
        samples.assign(tail->int16ChannelData(0), tail->int16ChannelData(0) + tail->frameLength());
    }
    converter_ = audio::Converter::make(inputFormat, targetFormat_);
    converterInputFormat_ = inputFormat;
  }
  if (!converter_) return unexpected(CaptureFailure::audioFormatUnavailable());
  // No reset here: a resampler cleared before every 20 ms buffer drops the samples its filter
  // holds back and restarts its history at every seam, which loses and garbles audio.

  const double ratio = targetSampleRate / inputFormat.sampleRate;
  const double capacity = std::ceil(static_cast<double>(frames) * ratio) + 32.0;
  if (!(capacity <= static_cast<double>(UINT32_MAX)))
    return unexpected(CaptureFailure::audioBufferUnavailable());
  auto output = audio::PcmBuffer::make(targetFormat_, static_cast<uint32_t>(capacity));
  if (!output) return unexpected(CaptureFailure::audioBufferUnavailable());

  std::string error;
  if (converter_->convert(*input, *output, &error) == audio::Converter::Status::error) {
    return unexpected(
        CaptureFailure::conversionFailed(error.empty() ? "AVAudioConverter error" : error));
  }
  const int16_t* data = output->int16ChannelData(0);
  if (!data) return unexpected(CaptureFailure::audioBufferUnavailable());
  samples.insert(samples.end(), data, data + output->frameLength());
  return samples;
}

void SystemAudioCapture::append(std::span<const int16_t> samples) {
  pendingSamples_.insert(pendingSamples_.end(), samples.begin(), samples.end());
  if (!announced_) return;
  size_t start = 0;
  while (pendingSamples_.size() - start >= static_cast<size_t>(chunkFrames)) {
    emit(std::span<const int16_t>(pendingSamples_.data() + start, chunkFrames));
    start += chunkFrames;
  }
  pendingSamples_.erase(pendingSamples_.begin(), pendingSamples_.begin() + start);
}

void SystemAudioCapture::emit(std::span<const int16_t> chunk) {
  const double level = chunkLevel(chunk);
  const double durationMs = static_cast<double>(chunk.size()) / targetSampleRate * 1000.0;
  Event event = {{"type", "capture.audio"},         {"source", "remote"},
                 {"sequence", sequence_},           {"capturedAt", nowMilliseconds() - durationMs},
                 {"pcmBase64", encodePCM16(chunk)}, {"level", level}};
  writer_->write(event);
  ++sequence_;
}

}  // namespace brimlow::capture
