#include "platform/capture/capture.h"

#include <cstring>

namespace brimlow::platform::capture {

SampleBuffer::SampleBuffer(audio::PcmBufferPtr pcm)
    : valid_(pcm != nullptr),
      numSamples_(pcm ? pcm->frameLength() : 0),
      format_(pcm ? std::optional(pcm->format()) : std::nullopt),
      pcm_(std::move(pcm)) {}

namespace {

// The reference platform's statuses for a buffer that cannot be read or does not fit.
constexpr int kInvalidBuffer = -12731;
constexpr int kDoesNotFit = -12737;

}  // namespace

const audio::PcmBuffer* SampleBuffer::pcmData(int* status) const {
  *status = copyStatus_ != 0 ? copyStatus_ : (!valid_ || !pcm_) ? kInvalidBuffer : 0;
  return *status == 0 ? pcm_.get() : nullptr;
}

int SampleBuffer::copyPCMData(audio::PcmBuffer& destination) const {
  int status = 0;
  if (!pcmData(&status)) return status;
  if (destination.format() != pcm_->format() || destination.frameCapacity() < numSamples_)
    return kDoesNotFit;
  const auto& format = pcm_->format();
  const size_t bytes = static_cast<size_t>(numSamples_) * format.bytesPerSample();
  for (uint32_t ch = 0; ch < format.channelCount; ++ch) {
    void* to = format.sampleFormat == audio::SampleFormat::int16
                   ? static_cast<void*>(destination.int16ChannelData(ch))
                   : static_cast<void*>(destination.floatChannelData(ch));
    const void* from = format.sampleFormat == audio::SampleFormat::int16
                           ? static_cast<const void*>(pcm_->int16ChannelData(ch))
                           : static_cast<const void*>(pcm_->floatChannelData(ch));
    if (bytes > 0) std::memcpy(to, from, bytes);
  }
  destination.setFrameLength(numSamples_);
  return 0;
}

SampleBuffer SampleBuffer::invalid(uint32_t numSamples) {
  SampleBuffer buffer;
  buffer.numSamples_ = numSamples;
  return buffer;
}

SampleBuffer SampleBuffer::withoutFormat(uint32_t numSamples) {
  SampleBuffer buffer;
  buffer.valid_ = true;
  buffer.numSamples_ = numSamples;
  return buffer;
}

SampleBuffer SampleBuffer::failingCopy(const audio::AudioFormat& format, uint32_t numSamples,
                                       int status) {
  SampleBuffer buffer;
  buffer.valid_ = true;
  buffer.numSamples_ = numSamples;
  buffer.format_ = format;
  buffer.copyStatus_ = status;
  return buffer;
}

}  // namespace brimlow::platform::capture
