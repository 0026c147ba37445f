#pragma once
// A stateful sample converter: channel count, sample rate and sample format in one step.
// Resampling runs on libsoxr and keeps its filter state between calls, so a signal cut into
// chunks converts as one continuous signal; the samples the filter holds back after one call come
// out at the start of the next.
#include <memory>
#include <string>
#include <vector>

#include "support/audio/audio.h"

namespace brimlow::audio {

class Converter {
 public:
  enum class Status { haveData, inputRanDry, error };

  // Nothing when the pair cannot be converted: invalid formats, or channel counts other than
  // equal, many to one (averaged) or one to many (copied).
  static std::unique_ptr<Converter> make(const AudioFormat& from, const AudioFormat& to);
  ~Converter();
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  const AudioFormat& inputFormat() const { return from_; }
  const AudioFormat& outputFormat() const { return to_; }

  // Converts every frame of `input` (which must be in inputFormat()) and appends what is ready to
  // `output` (in outputFormat()), from its current frame length up to its capacity. Frames that
  // do not fit are kept for the next call, never dropped. On error, `error` says why.
  Status convert(const PcmBuffer& input, PcmBuffer& output, std::string* error = nullptr);
  // Ends the signal: writes what the filter still holds into `output` (as far as it fits).
  Status flush(PcmBuffer& output, std::string* error = nullptr);
  // Forgets all state, as for a new, unrelated signal.
  void reset();

  // Frames the filter currently holds back, in output frames.
  double delayFrames() const;

 private:
  Converter(const AudioFormat& from, const AudioFormat& to);
  bool init(std::string* error);
  Status run(const float* const* planes, size_t frames, PcmBuffer& output, bool flush,
             std::string* error);

  AudioFormat from_;
  AudioFormat to_;
  void* soxr_ = nullptr;                   // soxr_t; nullptr when the rates are equal
  std::vector<std::vector<float>> carry_;  // mixed input that did not fit last time
  std::vector<std::vector<float>> mixed_;
};

}  // namespace brimlow::audio
