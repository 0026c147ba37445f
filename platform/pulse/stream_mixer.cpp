#include "platform/pulse/stream_mixer.h"

#include <algorithm>

namespace brimlow::platform::pulse {

StreamMixer::StreamMixer(uint32_t channels, size_t stallFrames, Sink sink, Target target)
    : channels_(channels),
      stallFrames_(stallFrames),
      sink_(std::move(sink)),
      target_(std::move(target)) {}

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
  std::erase_if(sources_, [this](const auto& entry) {
    return entry.second.removed && held(entry.second) == 0;
  });
}

void StreamMixer::sourceData(uint32_t id, const float* interleaved, size_t frames) {
  fillSource(id, frames,
             [&](float* to) { std::copy(interleaved, interleaved + frames * channels_, to); });
}

void StreamMixer::fillSource(uint32_t id, size_t frames, const Fill& fill) {
  auto it = sources_.find(id);
  if (it == sources_.end() || it->second.removed) return;
  Source& source = it->second;
  source.idleFrames = 0;
  source.delivered = true;
  if (frames > 0 && passesStraight(source)) {
    // What emit would do with these frames alone, without their stop in the queue.
    float* out = room(frames);
    fill(out);
    emitted_ += frames;
    sink_(out, frames);
    return;
  }
  const size_t count = frames * channels_;
  // What is mixed out already makes way before the queue would have to grow.
  if (source.head > 0 && source.samples.size() + count > source.samples.capacity()) {
    source.samples.erase(source.samples.begin(), source.samples.begin() + source.head);
    source.head = 0;
  }
  const size_t end = source.samples.size();
  source.samples.resize(end + count);
  fill(source.samples.data() + end);
  pump();
}

// Nothing is held by anyone and no other stream is live to wait for: pump would emit these
// frames at once, mixed with nothing.
bool StreamMixer::passesStraight(const Source& source) const {
  if (held(source) > 0 || !live(source)) return false;
  for (const auto& [id, other] : sources_)
    if (&other != &source && (held(other) > 0 || live(other))) return false;
  return true;
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
  size_t most = 0;
  for (const auto& [id, source] : sources_) most = std::max(most, available(source));
  if (most > 0) emit(most);
  if (fillTo > emitted_) {
    const size_t behind = static_cast<size_t>(fillTo - emitted_);
    float* out = room(behind);
    std::fill(out, out + behind * channels_, 0.0f);
    emitted_ += behind;
    sink_(out, behind);
  }
}

void StreamMixer::pump() {
  size_t ready = SIZE_MAX;
  for (const auto& [id, source] : sources_)
    if (live(source)) ready = std::min(ready, available(source));
  if (ready == 0 || ready == SIZE_MAX) return;
  emit(ready);
}

float* StreamMixer::room(size_t frames) {
  if (float* out = target_ ? target_(frames) : nullptr) return out;
  mix_.resize(frames * channels_);
  return mix_.data();
}

void StreamMixer::emit(size_t frames) {
  const size_t count = frames * channels_;
  float* out = room(frames);
  std::fill(out, out + count, 0.0f);
  for (auto& [id, source] : sources_) {
    const size_t take = std::min(count, held(source));
    const float* in = source.samples.data() + source.head;
    for (size_t i = 0; i < take; ++i) out[i] += in[i];
    source.head += take;
    if (source.head == source.samples.size()) {
      source.samples.clear();
      source.head = 0;
    }
  }
  dropDrained();
  emitted_ += frames;
  sink_(out, frames);
}

}  // namespace brimlow::platform::pulse
