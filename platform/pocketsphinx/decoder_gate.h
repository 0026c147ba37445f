#pragma once
// How many analyzers decode at once, and the order in which the others wait.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/pocketsphinx/services.h"

namespace brimlow::pocketsphinx {

// Every analyzer holds a decoder of about 90 MiB while it works, and a stopped one keeps it until
// its backlog is decoded. A host that starts and stops sessions faster than their audio decodes
// would otherwise have all of them load a decoder at once and run the machine out of memory. So
// at most this many decoders work at once; an analyzer beyond them is made at once (its session
// is ready and its audio queues), and waits on its own thread, in the order analyzers were made,
// for a decoder to come free. Nothing else waits, so results keep flowing meanwhile.
class DecoderGate {
 public:
  static constexpr int kMaxWorking = kMaxDecodingAnalyzers;

  static DecoderGate& instance();
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
  std::mutex mutex_;
  std::condition_variable changed_;
  int working_ = 0;
  uint64_t nextTicket_ = 0;
  std::deque<uint64_t> waiting_;
};

}  // namespace brimlow::pocketsphinx
