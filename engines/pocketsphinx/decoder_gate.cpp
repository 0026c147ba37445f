#include "engines/pocketsphinx/decoder_gate.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "engines/pocketsphinx/models.h"

namespace brimlow::pocketsphinx {

namespace {

// Measured with bench/capacity-bench on two processors: eight live sources kept every final's p95
// latency within 1.5 s, ten did not.
constexpr unsigned kLiveSourcesPerProcessor = 4;
// A decoder's peak while it decodes.
constexpr uint64_t kDecoderBytes = 110ull << 20;

}  // namespace

bool DecoderGate::tryEnter() {
  std::lock_guard lock(mutex_);
  if (working_ >= limit_ || !waiting_.empty()) return false;
  ++working_;
  return true;
}

bool DecoderGate::enter(const std::atomic<bool>& cancelled) {
  std::unique_lock lock(mutex_);
  const uint64_t ticket = nextTicket_++;
  waiting_.push_back(ticket);
  changed_.wait(lock,
                [&] { return cancelled || (working_ < limit_ && waiting_.front() == ticket); });
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

int decoderLimitFor(unsigned processors, uint64_t memoryBytes) {
  const uint64_t byProcessors = uint64_t{std::max(processors, 1u)} * kLiveSourcesPerProcessor;
  const uint64_t byMemory = memoryBytes / 2 / kDecoderBytes;
  return static_cast<int>(std::clamp<uint64_t>(std::min(byProcessors, byMemory), 2, 4096));
}

int machineDecoderLimit() {
  if (const int chosen = engineSettings().maxDecoders; chosen > 0) return std::min(chosen, 4096);
  cpu_set_t set;
  CPU_ZERO(&set);
  const unsigned processors =
      ::sched_getaffinity(0, sizeof set, &set) == 0
          ? static_cast<unsigned>(CPU_COUNT(&set))
          : static_cast<unsigned>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  const uint64_t memory =
      pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : uint64_t{4} << 30;
  return decoderLimitFor(processors, memory);
}

}  // namespace brimlow::pocketsphinx
