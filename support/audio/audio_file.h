#pragma once
// Reading audio files (WAV and whatever else libsndfile opens) as planar float32 buffers at the
// file's own rate and channel count. No resampling or mixing happens here.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/expected.h"
#include "support/audio/audio.h"

namespace brimlow::audio {

struct AudioFileError {
  std::string description;
};

class AudioFile {
 public:
  // Fails with a description naming the path when the file cannot be opened or decoded.
  static Expected<std::unique_ptr<AudioFile>, AudioFileError> openForReading(
      const std::string& path);
  ~AudioFile();
  AudioFile(const AudioFile&) = delete;
  AudioFile& operator=(const AudioFile&) = delete;

  // float32 at the file's sample rate and channel count.
  const AudioFormat& processingFormat() const { return format_; }
  // Frames in the file.
  int64_t length() const { return length_; }
  // The next frame read() returns.
  int64_t framePosition() const { return position_; }

  // Reads up to `frames` frames (at most the buffer's capacity) into `buffer`, which must be in
  // processingFormat(), and sets its frame length to what was read: 0 at the end of the file.
  std::optional<AudioFileError> read(PcmBuffer& buffer, uint32_t frames);

 private:
  AudioFile(void* sndfile, const AudioFormat& format, int64_t length, std::string path);

  void* sndfile_;  // SNDFILE*
  AudioFormat format_;
  int64_t length_;
  int64_t position_ = 0;
  std::string path_;
  std::unique_ptr<float[]> interleaved_;
  uint32_t interleavedFrames_ = 0;
};

}  // namespace brimlow::audio
