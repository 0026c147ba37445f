#include "engines/pocketsphinx/decoder_pool.h"

#include <malloc.h>

#include <algorithm>
#include <map>

#include "engines/pocketsphinx/models.h"
#include "engines/pocketsphinx/services.h"

namespace brimlow::pocketsphinx {

void limitAllocatorArenas() {
  // Two arenas instead of the default eight per core: what sessions that overlapped leave
  // behind in arenas of their own is then small enough to stay within a session's noise.
  static const bool once = ::mallopt(M_ARENA_MAX, 2) == 1;
  (void)once;
}

std::shared_ptr<DecoderPool> DecoderPool::forLocale(const std::string& canonicalLocale) {
  // Never destroyed: detached recognition threads may still return decoders at exit.
  static auto* mutex = new std::mutex;
  static auto* pools = new std::map<std::string, std::shared_ptr<DecoderPool>>;
  std::lock_guard lock(*mutex);
  auto& pool = (*pools)[canonicalLocale];
  if (!pool) pool = std::make_shared<DecoderPool>(canonicalLocale);
  return pool;
}

Expected<std::unique_ptr<Decoder>, speech::SpeechError> DecoderPool::acquire(
    const std::vector<std::string>& vocabulary) {
  std::unique_ptr<Decoder> decoder;
  {
    std::lock_guard lock(mutex_);
    // A decoder with the same vocabulary is ready as it is. Any other vocabulary needs one
    // without added words: words one session added must not turn up in another's transcripts.
    auto it = std::find_if(idle_.begin(), idle_.end(),
                           [&](const auto& d) { return d->vocabulary() == vocabulary; });
    if (it == idle_.end()) {
      auto clean = std::find_if(idle_.rbegin(), idle_.rend(),
                                [](const auto& d) { return d->addedWords().empty(); });
      if (clean != idle_.rend()) it = std::prev(clean.base());
    }
    if (it != idle_.end()) {
      decoder = std::move(*it);
      idle_.erase(it);
    }
  }
  if (!decoder) {
    auto model = findModel(locale_);
    if (!model)
      return unexpected(
          speech::SpeechError{kErrorDomain, kSphinxModelNotInstalledCode,
                              "The PocketSphinx model for " + locale_ + " is not installed"});
    auto created = Decoder::create(*model);
    if (!created)
      return unexpected(speech::SpeechError{
          kErrorDomain, kSphinxModelLoadFailedCode,
          "The PocketSphinx model for " + locale_ + " could not be loaded: " + created.error()});
    decoder = std::move(*created);
  }
  // Words of the vocabulary without a pronunciation are left out; recognition still works.
  // A decoder the engine refused the vocabulary is dropped.
  if (!decoder->setVocabulary(vocabulary))
    return unexpected(decodingFailure("apply the vocabulary", *decoder));
  return decoder;
}

void DecoderPool::release(std::unique_ptr<Decoder> decoder) {
  if (!decoder) return;
  if (decoder->inUtterance()) decoder->endUtterance();
  {
    std::lock_guard lock(mutex_);
    if (idle_.size() >= kMaxIdle && decoder->addedWords().empty()) {
      // A decoder that serves any vocabulary is worth more than one that serves only its own.
      auto added = std::find_if(idle_.begin(), idle_.end(),
                                [](const auto& d) { return !d->addedWords().empty(); });
      if (added != idle_.end()) idle_.erase(added);
    }
    if (idle_.size() < kMaxIdle) idle_.push_back(std::move(decoder));
  }
  decoder.reset();
  // A decoder's tens of megabytes are spread over the arenas of the threads that loaded and
  // ran it; without a trim the freed pages stay with the process.
  ::malloc_trim(0);
}

speech::SpeechError decodingFailure(const std::string& what, const Decoder& decoder) {
  return speech::SpeechError{kErrorDomain, kSphinxDecodingFailedCode,
                             "PocketSphinx could not " + what + ": " + decoder.lastError()};
}

size_t DecoderPool::idleCount() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

}  // namespace brimlow::pocketsphinx
