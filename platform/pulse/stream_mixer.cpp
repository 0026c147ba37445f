#include "platform/pulse/stream_mixer.h"

#include <algorithm>

namespace brimlow::platform::pulse {

StreamMixer::StreamMixer(uint32_t channels, size_t stallFrames, Sink sink)
    : channels_(channels), stallFrames_(stallFrames), sink_(std::move(sink)) {}

void StreamMixer::addSource(uint32_t id) {
  auto [it, added] = sources_.try_emplace(id);
  if (!added && it->second.removed) it->second = Source{};  // the id is in use again
  if (added || !it->second.delivered) it->second.addedAt = clock_;
}

void StreamMixer::removeSource(uint32_t id) {
  auto it = sources_.find(id);
  if (it == sources_.end() || it->second.removed) return;
  // Its last frames still go out, with the live streams' next ones, or now when there are none.
  it->second.removed = true;
  bool othersLive = false;
  for (const auto& [other, source] : sources_)
    if (live(source)) othersLive = true;
  if (!othersLive && available(it->second) > 0) emit(available(it->second));
  dropDrained();
  pump();  // the others may have been waiting for it
}

void StreamMixer::dropDrained() {
  std::erase_if(sources_, [](const auto& entry) {
    return entry.second.removed && entry.second.samples.empty();
  });
}

void StreamMixer::sourceData(uint32_t id, const float* interleaved, size_t frames) {
  auto it = sources_.find(id);
  if (it == sources_.end() || it->second.removed) return;
  it->second.samples.insert(it->second.samples.end(), interleaved,
                            interleaved + frames * channels_);
  it->second.idleFrames = 0;
  it->second.delivered = true;
  pump();
}

void StreamMixer::clockFrames(size_t frames) {
  clock_ += frames;
  bool anyLive = false;
  // Silence may fill the time up to the arrival of the earliest new stream that has not
  // delivered yet: from then on the time is that stream's, whose first frames may come late.
  uint64_t fillTo = clock_;
  for (auto& [id, source] : sources_) {
    source.idleFrames += frames;
    if (!live(source)) continue;
    if (source.delivered)
      anyLive = true;
    else
      fillTo = std::min(fillTo, source.addedAt);
  }
  if (anyLive) {
    pump();  // a stream that just stalled no longer holds the others back
    return;
  }
  // Nothing plays that we may record: after whatever the stalled streams still held, silence
  // brings the output up to the clock's time, including the time spent waiting for a stall.
  size_t held = 0;
  for (const auto& [id, source] : sources_) held = std::max(held, available(source));
  if (held > 0) emit(held);
  if (fillTo > emitted_) {
    const size_t behind = static_cast<size_t>(fillTo - emitted_);
    mix_.assign(behind * channels_, 0.0f);
    emitted_ += behind;
    sink_(mix_.data(), behind);
  }
}

void StreamMixer::pump() {
  size_t ready = SIZE_MAX;
  for (const auto& [id, source] : sources_)
    if (live(source)) ready = std::min(ready, available(source));
  if (ready == 0 || ready == SIZE_MAX) return;
  emit(ready);
}

void StreamMixer::emit(size_t frames) {
  const size_t count = frames * channels_;
  mix_.assign(count, 0.0f);
  for (auto& [id, source] : sources_) {
    const size_t take = std::min(count, source.samples.size());
    for (size_t i = 0; i < take; ++i) mix_[i] += source.samples[i];
    source.samples.erase(source.samples.begin(), source.samples.begin() + take);
  }
  dropDrained();
  emitted_ += frames;
  sink_(mix_.data(), frames);
}

}  // namespace brimlow::platform::pulse
