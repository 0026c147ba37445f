#pragma once
// Audio formats and PCM buffers shared by every layer. Buffers are planar (one array per
// channel), like the platform buffers the helpers were designed around.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace brimlow::audio {

enum class SampleFormat { int16, float32 };

struct AudioFormat {
  double sampleRate = 16000.0;
  uint32_t channelCount = 1;
  SampleFormat sampleFormat = SampleFormat::int16;

  bool operator==(const AudioFormat&) const = default;
  size_t bytesPerSample() const { return sampleFormat == SampleFormat::int16 ? 2 : 4; }
  bool isValid() const { return sampleRate > 0 && channelCount > 0 && channelCount <= 64; }
  std::string toString() const;  // "16000 Hz, 1 ch, int16"
};

// 16 kHz mono signed 16-bit: the helpers' wire format.
inline AudioFormat pcm16Mono16k() {
  return AudioFormat{16000.0, 1, SampleFormat::int16};
}

class PcmBuffer;
using PcmBufferPtr = std::shared_ptr<PcmBuffer>;

class PcmBuffer {
 public:
  // Nothing when the format is invalid or the capacity cannot be allocated.
  static PcmBufferPtr make(const AudioFormat& format, uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  uint32_t frameCapacity() const { return capacity_; }
  uint32_t frameLength() const { return length_; }
  // Clamped to the capacity.
  void setFrameLength(uint32_t frames) { length_ = frames > capacity_ ? capacity_ : frames; }

  // Sample storage of one channel, or nullptr when the channel does not exist or the
  // buffer holds the other sample format.
  int16_t* int16ChannelData(uint32_t channel);
  const int16_t* int16ChannelData(uint32_t channel) const;
  float* floatChannelData(uint32_t channel);
  const float* floatChannelData(uint32_t channel) const;

  PcmBuffer(const AudioFormat& format, uint32_t capacity);

 private:
  AudioFormat format_;
  uint32_t capacity_;
  uint32_t length_ = 0;
  std::vector<std::vector<std::byte>> channels_;
};

}  // namespace brimlow::audio
