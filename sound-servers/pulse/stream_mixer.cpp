#include "sound-servers/pulse/stream_mixer.h"

#include <algorithm>

namespace brimlow::platform::pulse {

StreamMixer::StreamMixer(uint32_t channels, size_t stallFrames, size_t heldLimitFrames, Sink sink,
                         Target target)
    : channels_(channels),
      stallFrames_(stallFrames),
      heldLimitFrames_(heldLimitFrames),
      sink_(std::move(sink)),
      target_(std::move(target)) {}

void StreamMixer::addSource(uint32_t id) {
  auto [it, added] = sources_.try_emplace(id);
  if (!added && it->second.removed) it->second = Source{};  // the id is in use again
}

void StreamMixer::removeSource(uint32_t id) {
  auto it = sources_.find(id);
  if (it == sources_.end() || it->second.removed) return;
  it->second.removed = true;
  dropDrained();
  pump();  // the output may have been waiting for it
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

size_t StreamMixer::startGap(size_t frames) const {
  // Now is the clock's count, or the newest frames of the streams that play in time: the
  // server may hand them over together with the clock's, and count them first.
  uint64_t now = clock_;
  for (const auto& [id, other] : sources_) {
    const uint64_t end = emitted_ + available(other);
    if (live(other) && end <= clock_ + stallFrames_) now = std::max(now, end);
  }
  const uint64_t start = now > frames ? now - frames : 0;
  return start > emitted_ ? static_cast<size_t>(start - emitted_) : 0;
}

void StreamMixer::fillSource(uint32_t id, size_t frames, const Fill& fill) {
  auto it = sources_.find(id);
  if (it == sources_.end() || it->second.removed || frames == 0) return;
  Source& source = it->second;
  // A stream that keeps delivering goes on where it is; what is still queued goes first.
  const bool restart = !live(source) && held(source) == 0;
  const size_t gap = restart ? startGap(frames) : 0;
  const bool straight = gap == 0 && passesStraight(source, frames);
  source.idleFrames = 0;
  source.delivered = true;
  source.starting = restart && !straight;
  source.silenceAhead = gap;
  if (straight) {
    // What emit would do with these frames alone, without their stop in the queue.
    float* out = room(frames);
    fill(out);
    emitted_ += frames;
    sink_(out, frames);
    return;
  }
  const size_t count = (gap + frames) * channels_;
  // What is mixed out already makes way before the queue would have to grow.
  if (source.head > 0 && source.samples.size() + count > source.samples.capacity()) {
    source.samples.erase(source.samples.begin(), source.samples.begin() + source.head);
    source.head = 0;
  }
  const size_t end = source.samples.size();
  source.samples.resize(end + count, 0.0f);
  fill(source.samples.data() + end + gap * channels_);
  // Only a stream far ahead of the output loses anything: its oldest frames.
  if (held(source) > heldLimitFrames_ * channels_) {
    const size_t dropped = available(source) - heldLimitFrames_;
    source.head += dropped * channels_;
    source.silenceAhead -= std::min(dropped, source.silenceAhead);
  }
  pump();
}

// Nothing is held by anyone, no other stream is live to wait for, and the frames keep within a
// stall of the clock: pump would emit them at once, mixed with nothing.
bool StreamMixer::passesStraight(const Source& source, size_t frames) const {
  if (held(source) > 0 || emitted_ + frames > clock_ + stallFrames_) return false;
  for (const auto& [id, other] : sources_)
    if (&other != &source && (held(other) > 0 || live(other))) return false;
  return true;
}

void StreamMixer::clockFrames(size_t frames) {
  clock_ += frames;
  for (auto& [id, source] : sources_) source.idleFrames += frames;
  pump();
}

void StreamMixer::startLater(Source& source, size_t frames) {
  source.samples.insert(source.samples.begin() + static_cast<long>(source.head), frames * channels_,
                        0.0f);
  source.silenceAhead += frames;
}

void StreamMixer::pump() {
  // As far as every live stream has frames, at most a stall ahead of the clock; with no live
  // stream, up to the clock, whatever the others still hold going out with it.
  uint64_t target = clock_ + stallFrames_;
  bool playing = false;
  for (const auto& [id, source] : sources_) {
    if (!live(source) || source.starting) continue;
    playing = true;
    target = std::min<uint64_t>(target, emitted_ + available(source));
  }
  bool anyLive = false;
  for (auto& [id, source] : sources_) {
    if (!live(source)) continue;
    anyLive = true;
    const uint64_t end = emitted_ + available(source);
    if (playing && source.starting && end < target)
      startLater(source, static_cast<size_t>(target - end));
    else
      target = std::min(target, end);
  }
  if (!anyLive) target = clock_;
  // Never more than a stall behind: a live stream later than that gets a gap, not the others.
  if (clock_ > stallFrames_) target = std::max<uint64_t>(target, clock_ - stallFrames_);
  if (target > emitted_) emit(static_cast<size_t>(target - emitted_));
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
    if (source.starting) {
      const size_t frames = take / channels_;
      source.starting = frames <= source.silenceAhead;  // no sound of it has left yet
      source.silenceAhead -= std::min(frames, source.silenceAhead);
    }
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
