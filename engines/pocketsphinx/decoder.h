#pragma once
// One PocketSphinx decoder with the settings both speech services use, behind a header free of
// PocketSphinx types.
//
// Settings: the engine's defaults (all three search passes; accuracy first) and its voice
// activity detection, which drops silence and reports speech/non-speech. Frame numbers, and so
// word times, count from the last startStream() across utterances, dropped silence included,
// so they lie on the timeline of the audio fed since then.
//
// Threads: a decoder is used by one thread at a time. Creation and setVocabulary() take the
// process-wide engine set-up lock themselves.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engines/pocketsphinx/models.h"
#include "platform/expected.h"

namespace brimlow::pocketsphinx {

struct Word {
  std::string text;
  double startSeconds = 0.0;  // from the last startStream()
  double endSeconds = 0.0;
};

// The words of a hypothesis joined by single spaces.
std::string joinWords(const std::vector<Word>& words);

// Routes the engine's log away from stderr (once per process); creation does this itself.
// The warnings and errors a decoder's calls bring go into that decoder's lastError().
void silenceEngineLogging();

struct DictionaryEntry;

class Decoder {
 public:
  // Loads the model (about 0.2 s and 90 MiB). Fails with the call that failed and the engine's
  // messages.
  static Expected<std::unique_ptr<Decoder>, std::string> create(const ModelFiles& model);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Makes the words of `phrases` that the dictionary lacks recognisable: each gets its
  // pronunciations (vocabulary.h) in the dictionary and a unigram in the language model.
  // Words without a pronunciation are left out. Then biases recognition towards the phrases
  // by interpolating a small phrase model with the base language model, in the one search the
  // decoder has. The engine cannot forget added words, so once a vocabulary added any, only
  // that same vocabulary is accepted again. Only between utterances. False with lastError()
  // when the engine refused; such a decoder is not to be used again.
  bool setVocabulary(const std::vector<std::string>& phrases);
  const std::vector<std::string>& vocabulary() const { return vocabulary_; }
  // The dictionary entries the vocabulary added ("kubernetes", "webhook(2)"), in order.
  const std::vector<std::string>& addedWords() const { return addedWords_; }

  // Restarts frame numbering at 0 (and the voice activity state); between utterances only.
  bool startStream();
  bool startUtterance();
  // Decodes 16 kHz mono samples of the open utterance. Near-silence at the start of a stream
  // reaches the engine only as its last 300 ms; word times still count every sample.
  bool process(const int16_t* samples, size_t count);
  // Whether the voice activity detector is inside speech.
  bool inSpeech() const;
  // Ends the open utterance; its final hypothesis is then available from words().
  bool endUtterance();
  bool inUtterance() const { return inUtterance_; }
  // The current hypothesis: partial during an utterance, final after endUtterance(). Fillers
  // and silences are left out; alternate pronunciations carry their base word.
  std::vector<Word> words() const;

  double framesPerSecond() const { return frameRate_; }

  // Why the last call that returned false failed: the engine call and its own messages
  // ("ps_process_raw() failed: ...").
  const std::string& lastError() const { return error_; }

 private:
  struct Engine;
  explicit Decoder(std::unique_ptr<Engine> engine);
  bool addToEngine(const std::vector<DictionaryEntry>& entries);
  // Records `what` and this call's engine messages as lastError(); returns false.
  bool fail(const std::string& what);

  std::unique_ptr<Engine> engine_;
  std::vector<std::string> vocabulary_;
  std::vector<std::string> addedWords_;
  std::string error_;
  double frameRate_ = 100.0;
  double sampleRate_ = 16000.0;
  bool inUtterance_ = false;
  // Start of the stream: whether anything but near-silence came yet, the silence held back
  // until then (at most 300 ms of it) and how many samples were left out before it.
  bool heardSound_ = false;
  std::vector<int16_t> heldSilence_;
  size_t skippedSamples_ = 0;
};

}  // namespace brimlow::pocketsphinx
