#include "platform/pocketsphinx/decoder_gate.h"

#include <algorithm>

namespace brimlow::pocketsphinx {

DecoderGate& DecoderGate::instance() {
  static auto* gate = new DecoderGate;  // never destroyed: detached workers may outlive main
  return *gate;
}

bool DecoderGate::tryEnter() {
  std::lock_guard lock(mutex_);
  if (working_ >= kMaxWorking || !waiting_.empty()) return false;
  ++working_;
  return true;
}

bool DecoderGate::enter(const std::atomic<bool>& cancelled) {
  std::unique_lock lock(mutex_);
  const uint64_t ticket = nextTicket_++;
  waiting_.push_back(ticket);
  changed_.wait(
      lock, [&] { return cancelled || (working_ < kMaxWorking && waiting_.front() == ticket); });
  waiting_.erase(std::find(waiting_.begin(), waiting_.end(), ticket));
  if (cancelled) {
    lock.unlock();
    changed_.notify_all();  // the next in turn may be able to go now
    return false;
  }
  ++working_;
  lock.unlock();
  changed_.notify_all();
  return true;
}

void DecoderGate::leave() {
  {
    std::lock_guard lock(mutex_);
    --working_;
  }
  changed_.notify_all();
}

int DecoderGate::working() {
  std::lock_guard lock(mutex_);
  return working_;
}

void DecoderGate::poke() {
  { std::lock_guard lock(mutex_); }
  changed_.notify_all();
}

}  // namespace brimlow::pocketsphinx
