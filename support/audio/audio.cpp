#include "support/audio/audio.h"

#include <new>
#include <sstream>

namespace brimlow::audio {

std::string AudioFormat::toString() const {
  std::ostringstream out;
  out << sampleRate << " Hz, " << channelCount << " ch, "
      << (sampleFormat == SampleFormat::int16 ? "int16" : "float32");
  return out.str();
}

PcmBuffer::PcmBuffer(const AudioFormat& format, uint32_t capacity)
    : format_(format), capacity_(capacity) {
  channels_.resize(format.channelCount);
  // At least one sample of storage, so an empty buffer still has valid channel pointers.
  size_t frames = capacity == 0 ? 1 : capacity;
  for (auto& channel : channels_) channel.resize(frames * format.bytesPerSample());
}

PcmBufferPtr PcmBuffer::make(const AudioFormat& format, uint32_t frameCapacity) {
  if (!format.isValid()) return nullptr;
  try {
    return std::make_shared<PcmBuffer>(format, frameCapacity);
  } catch (const std::bad_alloc&) {
    return nullptr;
  } catch (const std::length_error&) {
    return nullptr;
  }
}

int16_t* PcmBuffer::int16ChannelData(uint32_t channel) {
  if (format_.sampleFormat != SampleFormat::int16 || channel >= channels_.size()) return nullptr;
  return reinterpret_cast<int16_t*>(channels_[channel].data());
}
const int16_t* PcmBuffer::int16ChannelData(uint32_t channel) const {
  return const_cast<PcmBuffer*>(this)->int16ChannelData(channel);
}
float* PcmBuffer::floatChannelData(uint32_t channel) {
  if (format_.sampleFormat != SampleFormat::float32 || channel >= channels_.size()) return nullptr;
  return reinterpret_cast<float*>(channels_[channel].data());
}
const float* PcmBuffer::floatChannelData(uint32_t channel) const {
  return const_cast<PcmBuffer*>(this)->floatChannelData(channel);
}

}  // namespace brimlow::audio
