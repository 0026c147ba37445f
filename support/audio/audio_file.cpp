#include "support/audio/audio_file.h"

#include <sndfile.h>

#include <algorithm>
#include <new>

namespace brimlow::audio {

namespace {
SNDFILE* handle(void* p) {
  return static_cast<SNDFILE*>(p);
}
}  // namespace

AudioFile::AudioFile(void* sndfile, const AudioFormat& format, int64_t length, std::string path)
    : sndfile_(sndfile), format_(format), length_(length), path_(std::move(path)) {}

AudioFile::~AudioFile() {
  sf_close(handle(sndfile_));
}

Expected<std::unique_ptr<AudioFile>, AudioFileError> AudioFile::openForReading(
    const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    // sf_strerror(nullptr) reports why the last open failed.
    return unexpected(
        AudioFileError{"Cannot open audio file " + path + ": " + sf_strerror(nullptr)});
  }
  AudioFormat format{static_cast<double>(info.samplerate), static_cast<uint32_t>(info.channels),
                     SampleFormat::float32};
  if (!format.isValid() || info.frames < 0) {
    sf_close(file);
    return unexpected(AudioFileError{"Unsupported audio file " + path + ": " +
                                     std::to_string(info.channels) + " channels at " +
                                     std::to_string(info.samplerate) + " Hz"});
  }
  // Integer files read as floats in [-1, 1).
  sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
  return std::unique_ptr<AudioFile>(new AudioFile(file, format, info.frames, path));
}

std::optional<AudioFileError> AudioFile::read(PcmBuffer& buffer, uint32_t frames) {
  if (buffer.format() != format_)
    return AudioFileError{"Buffer format " + buffer.format().toString() +
                          " does not match the file's " + format_.toString()};
  const uint32_t wanted = std::min(frames, buffer.frameCapacity());
  const uint32_t channels = format_.channelCount;
  if (interleavedFrames_ < wanted) {
    interleaved_.reset(new (std::nothrow) float[static_cast<size_t>(wanted) * channels]);
    if (!interleaved_) {
      interleavedFrames_ = 0;
      return AudioFileError{"Cannot allocate a read buffer for " + path_};
    }
    interleavedFrames_ = wanted;
  }
  sf_count_t got = wanted == 0 ? 0 : sf_readf_float(handle(sndfile_), interleaved_.get(), wanted);
  if (got < 0 || (got < static_cast<sf_count_t>(wanted) && sf_error(handle(sndfile_)))) {
    return AudioFileError{"Cannot read audio file " + path_ + ": " + sf_strerror(handle(sndfile_))};
  }
  for (uint32_t ch = 0; ch < channels; ++ch) {
    float* plane = buffer.floatChannelData(ch);
    for (sf_count_t f = 0; f < got; ++f) plane[f] = interleaved_[f * channels + ch];
  }
  buffer.setFrameLength(static_cast<uint32_t>(got));
  position_ += got;
  return std::nullopt;
}

}  // namespace brimlow::audio
