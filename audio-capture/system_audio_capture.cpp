#include "audio-capture/system_audio_capture.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <future>

#include <asio/post.hpp>

#include "protocol/capture_texts.h"
#include "protocol/pcm_base64.h"

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

std::shared_ptr<SystemAudioCapture> SystemAudioCapture::make(WriterPtr writer,
                                                             pc::CapturePlatform platform) {
  return std::shared_ptr<SystemAudioCapture>(
      new SystemAudioCapture(std::move(writer), std::move(platform)));
}

SystemAudioCapture::SystemAudioCapture(WriterPtr writer, pc::CapturePlatform platform)
    : writer_(std::move(writer)),
      platform_(std::move(platform)),
      audioQueue_(std::make_unique<asio::thread_pool>(1)),
      // Two chunks: room for the usual buffers, so that conversion seldom has to enlarge it.
      pending_(audio::PcmBuffer::make(targetFormat_, static_cast<uint32_t>(2 * chunkFrames))) {}

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

Expected<pc::ContentFilter, StartFailure> SystemAudioCapture::chooseContent() {
  Waiter<Expected<pc::ShareableContent, pc::CaptureError>> content;
  platform_.capture->getShareableContent(false, false, content.handler());
  auto shareable = content.wait();
  if (!shareable) return unexpected(StartFailure(shareable.error()));
  if (shareable->displays.empty())
    return unexpected(StartFailure(CaptureFailure::displayUnavailable()));
  const pc::Display display = shareable->displays.front();

  // The host's sound and our own are not the meeting's.
  const pid_t parent = ::getppid();
  const pid_t self = ::getpid();
  std::vector<pc::RunningApplication> excluded;
  for (const auto& app : shareable->applications) {
    if (app.processID == parent || app.processID == self) excluded.push_back(app);
  }
  return pc::ContentFilter{display, excluded};
}

pc::StreamConfiguration SystemAudioCapture::streamConfiguration() const {
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
  return configuration;
}

std::optional<StartFailure> SystemAudioCapture::start() {
  writer_->status("requesting", protocol::kCaptureRequesting);
  auto filter = chooseContent();
  if (!filter) return filter.error();
  const pc::StreamConfiguration configuration = streamConfiguration();

  auto stream = platform_.capture->makeStream(*filter, configuration, weak_from_this());
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
      writer_->status("started", protocol::kCaptureStarted, true);
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
    writer_->error(protocol::kCaptureStopFailedPrefix + error->description);
  {
    std::lock_guard guard(streamLock_);
    stream_.reset();
  }
  writer_->status("stopped", protocol::kCaptureStopped, false);
}

void SystemAudioCapture::didStopWithError(pc::Stream&, const pc::CaptureError& error) {
  if (stopping_.load()) return;
  writer_->error(protocol::kCaptureEndedPrefix + error.description);
}

void SystemAudioCapture::didOutputSampleBuffer(pc::Stream&, const pc::SampleBuffer& buffer,
                                               pc::OutputType type) {
  if (type != pc::OutputType::audio || !buffer.isValid() || buffer.numSamples() == 0 ||
      stopping_.load())
    return;
  // Converted straight onto the end of the pending samples, the chunks' storage.
  if (auto failure = convertAppending(buffer, pending_)) {
    writer_->error(failure->description());
    return;
  }
  emitFullChunks();
}

Expected<std::vector<int16_t>, CaptureFailure> SystemAudioCapture::convertToPCM16(
    const pc::SampleBuffer& buffer) {
  audio::PcmBufferPtr out;
  if (auto failure = convertAppending(buffer, out)) return unexpected(*failure);
  if (!out) return std::vector<int16_t>();
  const int16_t* data = out->int16ChannelData(0);
  return std::vector<int16_t>(data, data + out->frameLength());
}

std::optional<CaptureFailure> SystemAudioCapture::convertAppending(const pc::SampleBuffer& buffer,
                                                                   audio::PcmBufferPtr& out) {
  const auto& description = buffer.formatDescription();
  if (!description) return CaptureFailure::audioFormatUnavailable();
  const audio::AudioFormat inputFormat = *description;
  if (!inputFormat.isValid()) return CaptureFailure::audioBufferUnavailable();  // no buffer fits
  int status = 0;
  const audio::PcmBuffer* input = buffer.pcmData(&status);  // read in place, not copied
  if (!input) {
    return CaptureFailure::conversionFailed("CMSampleBufferCopyPCMDataIntoAudioBufferList=" +
                                            std::to_string(status));
  }

  // Whatever fails from here on takes back what this buffer added, the old converter's tail too.
  const uint32_t before = out ? out->frameLength() : 0;
  auto failed = [&](CaptureFailure failure) {
    if (out) out->setFrameLength(before);
    return failure;
  };
  if (!converter_ || !converterInputFormat_ || *converterInputFormat_ != inputFormat)
    useConverterFor(inputFormat, out);
  if (!converter_) return failed(CaptureFailure::audioFormatUnavailable());
  // No reset here: a resampler cleared before every 20 ms buffer drops the samples its filter
  // holds back and restarts its history at every seam, which loses and garbles audio.

  const double ratio = targetSampleRate / inputFormat.sampleRate;
  const double capacity = std::ceil(static_cast<double>(input->frameLength()) * ratio) + 32.0;
  if (!(capacity <= static_cast<double>(UINT32_MAX)))
    return failed(CaptureFailure::audioBufferUnavailable());
  if (!makeRoom(out, static_cast<uint64_t>(capacity)))
    return failed(CaptureFailure::audioBufferUnavailable());

  std::string error;
  if (converter_->convert(*input, *out, &error) == audio::Converter::Status::error) {
    return failed(
        CaptureFailure::conversionFailed(error.empty() ? "AVAudioConverter error" : error));
  }
  return std::nullopt;
}

void SystemAudioCapture::useConverterFor(const audio::AudioFormat& inputFormat,
                                         audio::PcmBufferPtr& out) {
  // What the old converter's filter still holds belongs before the new format's audio.
  if (converter_) {
    const uint32_t before = out ? out->frameLength() : 0;
    const auto tail = static_cast<uint64_t>(std::ceil(converter_->delayFrames())) + 64;
    if (makeRoom(out, tail) && converter_->flush(*out) == audio::Converter::Status::error)
      out->setFrameLength(before);
  }
  converter_ = audio::Converter::make(inputFormat, targetFormat_);
  converterInputFormat_ = inputFormat;
}

bool SystemAudioCapture::makeRoom(audio::PcmBufferPtr& out, uint64_t frames) const {
  const uint32_t length = out ? out->frameLength() : 0;
  if (out && out->frameCapacity() - length >= frames) return true;
  if (frames > UINT32_MAX - length) return false;
  auto larger = audio::PcmBuffer::make(targetFormat_, length + static_cast<uint32_t>(frames));
  if (!larger) return false;
  if (length > 0)
    std::memcpy(larger->int16ChannelData(0), out->int16ChannelData(0), length * sizeof(int16_t));
  larger->setFrameLength(length);
  out = std::move(larger);
  return true;
}

void SystemAudioCapture::append(std::span<const int16_t> samples) {
  if (!samples.empty()) {
    if (!makeRoom(pending_, samples.size())) {
      writer_->error(CaptureFailure::audioBufferUnavailable().description());
      return;
    }
    const uint32_t length = pending_->frameLength();
    std::copy(samples.begin(), samples.end(), pending_->int16ChannelData(0) + length);
    pending_->setFrameLength(length + static_cast<uint32_t>(samples.size()));
  }
  emitFullChunks();
}

void SystemAudioCapture::emitFullChunks() {
  if (!announced_ || !pending_) return;
  int16_t* samples = pending_->int16ChannelData(0);
  const size_t length = pending_->frameLength();
  size_t start = 0;
  while (length - start >= static_cast<size_t>(chunkFrames)) {
    emit(std::span<const int16_t>(samples + start, chunkFrames));
    start += chunkFrames;
  }
  if (start == 0) return;
  // Less than a chunk is left to move.
  std::memmove(samples, samples + start, (length - start) * sizeof(int16_t));
  pending_->setFrameLength(static_cast<uint32_t>(length - start));
}

void SystemAudioCapture::emit(std::span<const int16_t> chunk) {
  const double level = chunkLevel(chunk);
  const double durationMs = static_cast<double>(chunk.size()) / targetSampleRate * 1000.0;
  writer_->write(encode(CaptureAudio{sequence_, nowMilliseconds() - durationMs, level,
                                     protocol::pcm16Base64(chunk)}));
  ++sequence_;
}

}  // namespace brimlow::capture
