#pragma once
// Mixes separately recorded playback streams back into one signal, paced by a clock that counts
// the frames of time passing.
//
// The streams drive the output: frames leave as soon as every live stream has them, so streams
// that arrive together stay aligned. A stream that has delivered nothing for `stallFrames` of
// clock time (paused, corked, ending) stops holding the others back and adds silence until it
// delivers again; with no live stream at all silence brings the output up to the clock's count,
// so that over time it holds as many frames as the clock, however often streams stall (a new
// stream that has not delivered yet owns the time from its arrival on, not the time before).
// Nothing is ever inserted between two pieces of one stream that keeps delivering: padding a stream
// that was merely late, however little, shifts and garbles it.
//
// Not thread-safe: one thread (the sound server's loop) calls everything.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace brimlow::platform::pulse {

class StreamMixer {
 public:
  // Receives interleaved frames of `channels` samples.
  using Sink = std::function<void(const float* interleaved, size_t frames)>;
  // Room for the next `frames` frames that go to the sink, valid until the sink returns, so that
  // the mix is written where it goes; nullptr for the mixer's own.
  using Target = std::function<float*(size_t frames)>;
  // Writes a source's next frames, interleaved, where it is told.
  using Fill = std::function<void(float* interleaved)>;

  StreamMixer(uint32_t channels, size_t stallFrames, Sink sink, Target target = {});

  void addSource(uint32_t id);
  // What the source still holds is mixed out first when nothing else waits for it.
  void removeSource(uint32_t id);

  void sourceData(uint32_t id, const float* interleaved, size_t frames);
  // As sourceData, with `fill` writing the frames in place: into the sink's room when nothing
  // else is held or waited for (one stream playing), else at the end of the source's queue.
  void fillSource(uint32_t id, size_t frames, const Fill& fill);
  void clockFrames(size_t frames);

 private:
  struct Source {
    std::vector<float> samples;  // interleaved; those before `head` are mixed out already
    size_t head = 0;
    size_t idleFrames = 0;   // clock frames since it last delivered
    bool removed = false;    // kept only until its frames are mixed out
    bool delivered = false;  // has delivered anything yet
    uint64_t addedAt = 0;    // the clock's count when it was added
  };
  bool live(const Source& source) const {
    return !source.removed && source.idleFrames < stallFrames_;
  }
  size_t held(const Source& source) const { return source.samples.size() - source.head; }
  size_t available(const Source& source) const { return held(source) / channels_; }
  // Whether `source`'s new frames would leave at once and alone.
  bool passesStraight(const Source& source) const;
  float* room(size_t frames);
  // Mixes `frames` frames (sources with less add silence for the rest) and hands them on.
  void emit(size_t frames);
  void pump();
  void dropDrained();

  uint32_t channels_;
  size_t stallFrames_;
  Sink sink_;
  Target target_;
  std::map<uint32_t, Source> sources_;
  std::vector<float> mix_;
  uint64_t clock_ = 0;    // frames counted by the clock
  uint64_t emitted_ = 0;  // frames handed on
};

}  // namespace brimlow::platform::pulse
