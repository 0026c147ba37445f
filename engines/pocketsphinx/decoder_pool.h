#pragma once
// Long-lived decoders of one locale, shared by both speech services.
//
// A fresh decoder recognises its first utterance worse (its cepstral normalisation starts from
// a default estimate and adapts from then on), and loading one takes a fifth of a second, so
// decoders go back to the pool when an analyzer or a task is done with them and serve the next
// one. A decoder is lent to one user at a time, so it is never used on two threads at once.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engines/pocketsphinx/decoder.h"
#include "platform/expected.h"
#include "platform/speech/speech.h"

namespace brimlow::pocketsphinx {

// Caps the allocator's per-thread arenas. Decoders are loaded on one thread and run on
// another, and every thread's arena keeps the pages its decoders freed; with few arenas what
// one session gave back serves the next. Call once, before the threads start.
void limitAllocatorArenas();

// "PocketSphinx could not <what>: <the decoder's lastError()>", as the services report a
// decoder that failed.
speech::SpeechError decodingFailure(const std::string& what, const Decoder& decoder);

class DecoderPool {
 public:
  // The pool of a canonical locale; one per locale for the whole process.
  static std::shared_ptr<DecoderPool> forLocale(const std::string& canonicalLocale);

  explicit DecoderPool(std::string locale) : locale_(std::move(locale)) {}
  const std::string& locale() const { return locale_; }

  // An idle decoder (one already set to `vocabulary` if there is one, else one without added
  // words) or a new one, set to `vocabulary`. Fails when the model is missing or cannot be
  // loaded.
  Expected<std::unique_ptr<Decoder>, speech::SpeechError> acquire(
      const std::vector<std::string>& vocabulary);
  // Takes a decoder back; an open utterance is ended first.
  void release(std::unique_ptr<Decoder> decoder);

  size_t idleCount() const;

 private:
  // One session's two sources: decoders beyond that (sessions that overlapped) are freed, so
  // memory comes back to what one session needs. About 90 MiB each.
  static constexpr size_t kMaxIdle = 2;
  const std::string locale_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Decoder>> idle_;
};

}  // namespace brimlow::pocketsphinx
