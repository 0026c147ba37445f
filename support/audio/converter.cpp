#include "support/audio/converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace brimlow::audio {

namespace {

float sampleAt(const PcmBuffer& buffer, uint32_t channel, uint32_t frame) {
  if (buffer.format().sampleFormat == SampleFormat::int16)
    return static_cast<float>(buffer.int16ChannelData(channel)[frame]) / 32768.0f;
  return buffer.floatChannelData(channel)[frame];
}

int16_t toInt16(float value) {
  float scaled = std::nearbyint(value * 32768.0f);
  return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

}  // namespace

Converter::Converter(const AudioFormat& from, const AudioFormat& to) : from_(from), to_(to) {}

Converter::~Converter() {
  if (soxr_) soxr_delete(static_cast<soxr_t>(soxr_));
}

std::unique_ptr<Converter> Converter::make(const AudioFormat& from, const AudioFormat& to) {
  if (!from.isValid() || !to.isValid()) return nullptr;
  bool channelsOk =
      from.channelCount == to.channelCount || to.channelCount == 1 || from.channelCount == 1;
  if (!channelsOk) return nullptr;
  std::unique_ptr<Converter> converter(new Converter(from, to));
  if (!converter->init(nullptr)) return nullptr;
  return converter;
}

bool Converter::init(std::string* error) {
  carry_.assign(to_.channelCount, {});
  mixed_.assign(to_.channelCount, {});
  if (from_.sampleRate == to_.sampleRate) return true;
  soxr_io_spec_t io = soxr_io_spec(
      SOXR_FLOAT32_S, to_.sampleFormat == SampleFormat::int16 ? SOXR_INT16_S : SOXR_FLOAT32_S);
  io.flags |= SOXR_NO_DITHER;  // deterministic output
  soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t err = nullptr;
  soxr_ =
      soxr_create(from_.sampleRate, to_.sampleRate, to_.channelCount, &err, &io, &quality, nullptr);
  if (err || !soxr_) {
    if (error) *error = err ? err : "soxr_create failed";
    soxr_ = nullptr;
    return false;
  }
  return true;
}

void Converter::reset() {
  if (soxr_) soxr_clear(static_cast<soxr_t>(soxr_));
  for (auto& c : carry_) c.clear();
}

double Converter::delayFrames() const {
  return soxr_ ? soxr_delay(static_cast<soxr_t>(soxr_)) : 0.0;
}

Converter::Status Converter::convert(const PcmBuffer& input, PcmBuffer& output,
                                     std::string* error) {
  if (input.format() != from_ || output.format() != to_) {
    if (error) *error = "buffer format does not match the converter";
    return Status::error;
  }
  // Mix (or copy) channels into float planes in the output's channel layout, after any frames
  // left over from the previous call.
  const uint32_t frames = input.frameLength();
  for (uint32_t ch = 0; ch < to_.channelCount; ++ch) {
    auto& plane = mixed_[ch];
    plane.assign(carry_[ch].begin(), carry_[ch].end());
    carry_[ch].clear();
    size_t base = plane.size();
    plane.resize(base + frames);
    for (uint32_t f = 0; f < frames; ++f) {
      float value;
      if (from_.channelCount == to_.channelCount) {
        value = sampleAt(input, ch, f);
      } else if (to_.channelCount == 1) {
        float sum = 0.0f;
        for (uint32_t in = 0; in < from_.channelCount; ++in) sum += sampleAt(input, in, f);
        value = sum / static_cast<float>(from_.channelCount);
      } else {
        value = sampleAt(input, 0, f);
      }
      plane[base + f] = value;
    }
  }
  std::vector<const float*> planes;
  for (auto& plane : mixed_) planes.push_back(plane.data());
  return run(planes.data(), mixed_[0].size(), output, false, error);
}

Converter::Status Converter::flush(PcmBuffer& output, std::string* error) {
  if (output.format() != to_) {
    if (error) *error = "buffer format does not match the converter";
    return Status::error;
  }
  for (uint32_t ch = 0; ch < to_.channelCount; ++ch) mixed_[ch].swap(carry_[ch]);
  for (auto& c : carry_) c.clear();
  std::vector<const float*> planes;
  for (auto& plane : mixed_) planes.push_back(plane.data());
  size_t frames = mixed_[0].size();
  Status status = run(planes.data(), frames, output, false, error);
  if (status == Status::error) return status;
  return run(nullptr, 0, output, true, error);
}

Converter::Status Converter::run(const float* const* planes, size_t frames, PcmBuffer& output,
                                 bool flush, std::string* error) {
  const uint32_t start = output.frameLength();
  const size_t room = output.frameCapacity() - start;
  size_t consumed = 0;
  size_t produced = 0;
  if (!soxr_) {
    produced = std::min(frames, room);
    for (uint32_t ch = 0; ch < to_.channelCount; ++ch) {
      for (size_t f = 0; f < produced; ++f) {
        if (to_.sampleFormat == SampleFormat::int16)
          output.int16ChannelData(ch)[start + f] = toInt16(planes[ch][f]);
        else
          output.floatChannelData(ch)[start + f] = planes[ch][f];
      }
    }
    consumed = produced;
  } else {
    std::vector<void*> outPlanes(to_.channelCount);
    for (uint32_t ch = 0; ch < to_.channelCount; ++ch) {
      if (to_.sampleFormat == SampleFormat::int16)
        outPlanes[ch] = output.int16ChannelData(ch) + start;
      else
        outPlanes[ch] = output.floatChannelData(ch) + start;
    }
    soxr_error_t err;
    if (flush) {
      err = soxr_process(static_cast<soxr_t>(soxr_), nullptr, 0, nullptr, outPlanes.data(), room,
                         &produced);
    } else {
      err = soxr_process(static_cast<soxr_t>(soxr_), planes, frames, &consumed, outPlanes.data(),
                         room, &produced);
    }
    if (err) {
      if (error) *error = err;
      return Status::error;
    }
  }
  // Keep what soxr did not take, so no input is lost when the output was too small.
  if (planes && consumed < frames) {
    for (uint32_t ch = 0; ch < to_.channelCount; ++ch)
      carry_[ch].assign(planes[ch] + consumed, planes[ch] + frames);
  }
  output.setFrameLength(start + static_cast<uint32_t>(produced));
  return produced > 0 ? Status::haveData : Status::inputRanDry;
}

}  // namespace brimlow::audio
