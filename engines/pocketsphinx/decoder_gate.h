#pragma once
// How many analyzers decode at once, and the order in which the others wait.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace brimlow::pocketsphinx {

// An analyzer takes a place when it has audio to decode and gives it back once its input has
// run dry, so only channels that are sending hold one. Every place stands for a decoder of about
// 90 MiB and for the processor time to keep up with a live source: without a limit, more live
// sources than the machine can decode all fall behind together and no transcript comes in time.
// An analyzer that finds every place taken waits on its own thread, in the order of arrival, for
// one to come free; its audio queues meanwhile and nothing is lost.
class DecoderGate {
 public:
  explicit DecoderGate(int limit) : limit_(limit < 1 ? 1 : limit) {}

  // Takes a place at once when one is free and nobody waits for one.
  bool tryEnter();
  // Waits for a place in turn; false when `cancelled` came first.
  bool enter(const std::atomic<bool>& cancelled);
  // Gives a place back.
  void leave();
  // Places taken.
  int working();
  // Wakes the waiters so that a cancelled one notices.
  void poke();

 private:
  const int limit_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int working_ = 0;
  uint64_t nextTicket_ = 0;
  std::deque<uint64_t> waiting_;
};

// How many places a machine with `processors` processors and `memoryBytes` of memory has: as
// many live sources as its processors decode in real time with short latency, and no more
// decoders than fit in half of its memory; at least two, one session's two sources.
int decoderLimitFor(unsigned processors, uint64_t memoryBytes);

// The limit for this machine: the engine settings' maxDecoders when it is positive (the
// operator's choice, for example on a machine shared with other work), else decoderLimitFor() of
// the processors this process may run on and the physical memory.
int machineDecoderLimit();

}  // namespace brimlow::pocketsphinx
