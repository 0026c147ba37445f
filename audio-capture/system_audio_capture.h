#pragma once
// The one capture of the process: starts and stops the system-audio stream, turns every delivered
// buffer into 16 kHz mono signed 16-bit samples and writes them as 250 ms "capture.audio" chunks.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include <asio/thread_pool.hpp>

#include "audio-capture/capture_failure.h"
#include "audio-capture/event_writer.h"
#include "platform/capture/capture.h"
#include "support/audio/converter.h"

namespace brimlow::capture {

inline constexpr double targetSampleRate = 16000.0;
inline constexpr int64_t chunkFrames = 4000;  // 250 ms at targetSampleRate

class SystemAudioCapture final : public platform::capture::StreamOutput,
                                 public platform::capture::StreamDelegate,
                                 public std::enable_shared_from_this<SystemAudioCapture> {
 public:
  static std::shared_ptr<SystemAudioCapture> make(WriterPtr writer,
                                                  platform::capture::CapturePlatform platform);
  ~SystemAudioCapture() override;
  SystemAudioCapture(const SystemAudioCapture&) = delete;
  SystemAudioCapture& operator=(const SystemAudioCapture&) = delete;

  // Writes "requesting", sets the stream up and starts it, then writes "started". Blocks until
  // the stream runs; returns why it could not start otherwise.
  std::optional<StartFailure> start();
  // Stops the stream once and writes "stopped" when there was one. Blocks until done; never
  // fails. Every call after the first returns at once.
  void stop();
  bool isStopping() const { return stopping_.load(); }

  // Stream callbacks. Buffers arrive on the audio queue only.
  void didOutputSampleBuffer(platform::capture::Stream& stream,
                             const platform::capture::SampleBuffer& buffer,
                             platform::capture::OutputType type) override;
  void didStopWithError(platform::capture::Stream& stream,
                        const platform::capture::CaptureError& error) override;

  // One buffer to 16 kHz mono int16. The converter of an input format is kept while that format
  // lasts, so its filter history carries from one buffer into the next.
  Expected<std::vector<int16_t>, CaptureFailure> convertToPCM16(
      const platform::capture::SampleBuffer& buffer);
  // Gathers samples and writes every full chunk once "started" has been written.
  void append(std::span<const int16_t> samples);
  // Writes one "capture.audio" event and advances the sequence.
  void emit(std::span<const int16_t> chunk);

  size_t pendingSampleCount() const { return pending_ ? pending_->frameLength() : 0; }
  int64_t nextSequence() const { return sequence_; }
  asio::any_io_executor audioQueue() { return audioQueue_->get_executor(); }

 private:
  SystemAudioCapture(WriterPtr writer, platform::capture::CapturePlatform platform);

  // The first output, without the host's and our own sound.
  Expected<platform::capture::ContentFilter, StartFailure> chooseContent();
  platform::capture::StreamConfiguration streamConfiguration() const;

  // Converts one buffer and appends its samples to `out` (made or enlarged as needed); on
  // failure `out` holds what it held before.
  std::optional<CaptureFailure> convertAppending(const platform::capture::SampleBuffer& buffer,
                                                 audio::PcmBufferPtr& out);
  // A converter for `inputFormat`, after what the previous one still held went into `out`.
  void useConverterFor(const audio::AudioFormat& inputFormat, audio::PcmBufferPtr& out);
  // Room in `out` for `frames` more samples after its frame length, keeping what it holds.
  bool makeRoom(audio::PcmBufferPtr& out, uint64_t frames) const;
  // Writes every full chunk of the pending samples once "started" has been written.
  void emitFullChunks();

  WriterPtr writer_;
  platform::capture::CapturePlatform platform_;
  // One thread: a serial queue.
  std::unique_ptr<asio::thread_pool> audioQueue_;
  std::mutex streamLock_;
  std::shared_ptr<platform::capture::Stream> stream_;
  const audio::AudioFormat targetFormat_{targetSampleRate, 1, audio::SampleFormat::int16};
  // Touched only on the audio queue.
  std::unique_ptr<audio::Converter> converter_;
  std::optional<audio::AudioFormat> converterInputFormat_;
  // Samples not yet written, in the target format; conversion appends to them in place.
  audio::PcmBufferPtr pending_;
  int64_t sequence_ = 0;
  bool announced_ = false;  // "started" written
  std::atomic<bool> stopping_{false};
};

// Loudness of a chunk: rms of the samples (over 32767) times 5, at most 1.
double chunkLevel(std::span<const int16_t> samples);

}  // namespace brimlow::capture
