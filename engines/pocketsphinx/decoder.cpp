#include "engines/pocketsphinx/decoder.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <sphinxbase/ngram_model.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>

#include "engines/pocketsphinx/vocabulary.h"

namespace brimlow::pocketsphinx {
namespace {

// ps_init, ps_reinit, search set-up and the err_* calls touch process globals. These objects
// are never destroyed: detached recognition threads may still use them while the process exits.
std::mutex& setupMutex() {
  static auto* m = new std::mutex;
  return *m;
}

// Engine messages go to the log of the decoder whose call is under way on this thread (a decoder
// is used by one thread at a time and the engine logs from the calling thread), so a failure
// reports its own decoder's messages, never another thread's.
thread_local std::deque<std::string>* capturingLog = nullptr;

// The engine's log sink: information is dropped, warnings and errors are kept in the log of the
// decoder being called, the last few of them. Never writes to stderr.
void engineLog(void*, err_lvl_t level, const char* format, ...) {
  if (level != ERR_WARN && level != ERR_ERROR && level != ERR_FATAL) return;
  if (!capturingLog) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::string line(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  // 'ERROR: "ngram_model_trie.c", line 456: Wrong magic header': the message is what helps.
  if (auto at = line.find("\", line "); at != std::string::npos && line.find(": \"") < at)
    if (auto colon = line.find(": ", at); colon != std::string::npos) line.erase(0, colon + 2);
  capturingLog->push_back(std::move(line));
  if (capturingLog->size() > 8) capturingLog->pop_front();
}

// Sends the engine's messages to `log` while alive, so that `log` holds those of one call.
class LogCapture {
 public:
  explicit LogCapture(std::deque<std::string>& log) : previous_(capturingLog) {
    log.clear();
    capturingLog = &log;
  }
  ~LogCapture() { capturingLog = previous_; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

 private:
  std::deque<std::string>* previous_;
};

void silenceLoggingLocked() {
  static bool done = false;
  if (done) return;
  err_set_callback(engineLog, nullptr);
  err_set_logfp(nullptr);
  done = true;
}

// How likely each vocabulary word is anywhere, through the vocabulary's model interpolated
// with the base model.
constexpr double kVocabularyWordProbability = 1e-3;

// The interpolation weight that gives each of `words` vocabulary words (equally likely in their
// own model) kVocabularyWordProbability. The set interpolates scores the models have already
// raised to the language weight, so the weight has to be raised to it too: a weight of p * n, as
// this once was, gave each word p^(1/lw) * n^(1/lw - 1), about 6e-3 for a meeting's 74 terms
// instead of 1e-4, and short names took the place of ordinary words ("in his" became "Inés").
double vocabularyShare(size_t words, double languageWeight) {
  return std::min(
      0.5, std::pow(kVocabularyWordProbability * static_cast<double>(words + 1), languageWeight));
}

// The search wraps the model it is given in a set of one; what a vocabulary is interpolated
// with is the model inside, so that decoding does not go through a set within a set (each set
// is also a map over the whole dictionary, about 10 MB). Retained; nothing if there is none.
ngram_model_t* ownNgrams(ngram_model_t* searchModel) {
  if (!searchModel) return nullptr;
  // ps_get_lm() gives the search's set, so it can be iterated.
  ngram_model_t* inner = searchModel;
  if (ngram_model_set_iter_t* it = ngram_model_set_iter(searchModel)) {
    ngram_model_t* first = ngram_model_set_iter_model(it, nullptr);
    if (ngram_model_set_iter_next(it))
      ngram_model_set_iter_free(it);  // more than one: keep the set as it is
    else
      inner = first;  // the iterator freed itself at the end
  }
  return ngram_model_retain(inner);
}

// The engine reads models from files only: `text` goes through a temporary file. Nothing, with
// the reason in `error`, when the file cannot be written or the model read.
ngram_model_t* readArpa(cmd_ln_t* config, ps_decoder_t* ps, const std::string& arpa,
                        std::string& error) {
  std::error_code ec;
  std::string pattern = (std::filesystem::temp_directory_path(ec) / "brimlow-vocabulary-XXXXXX");
  if (ec) pattern = "/tmp/brimlow-vocabulary-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  const int fd = mkstemp(path.data());
  if (fd < 0) {
    error = "mkstemp(" + pattern + ") failed: " + std::strerror(errno);
    return nullptr;
  }
  const ssize_t written = ::write(fd, arpa.data(), arpa.size());
  const int writeErrno = errno;
  ::close(fd);
  ngram_model_t* model = nullptr;
  if (written != static_cast<ssize_t>(arpa.size()))
    error = std::string("write(") + path.data() +
            ") failed: " + (written < 0 ? std::strerror(writeErrno) : "short write");
  else if (!(model = ngram_model_read(config, path.data(), NGRAM_ARPA, ps_get_logmath(ps))))
    error = "ngram_model_read() failed";
  std::remove(path.data());
  return model;
}

// Extra engine settings for trade-off studies, e.g. "-vad_postspeech 30 -fwdflat no -bestpath
// no" (flag/value pairs that replace or add to the settings below, for every decoder; the former
// defaults are "-vad_postspeech 50 -fwdflat yes"). None in production; a rejected list fails
// decoder creation rather than being half applied.
std::vector<std::string> overrideArgs() {
  return engineSettings().decoderArgs;
}

}  // namespace

std::string joinWords(const std::vector<Word>& words) {
  std::string text;
  for (const auto& w : words) {
    if (!text.empty()) text += ' ';
    text += w.text;
  }
  return text;
}

void silenceEngineLogging() {
  std::lock_guard lock(setupMutex());
  silenceLoggingLocked();
}

// The name ps_init gives the search it makes from "-lm"; the vocabulary's search takes it over.
constexpr const char* kSearch = "_default";

struct Decoder::Engine {
  cmd_ln_t* config = nullptr;
  ps_decoder_t* ps = nullptr;
  ngram_model_t* baseModel = nullptr;  // the model's own n-grams, held for vocabulary searches
  std::deque<std::string> log;         // engine messages of the call under way or the last one
  ~Engine() {
    std::lock_guard lock(setupMutex());
    if (baseModel) ngram_model_free(baseModel);
    if (ps) ps_free(ps);
    if (config) cmd_ln_free_r(config);
  }
};

namespace {

// "what failed: the engine's messages", the messages those of this decoder's own call.
std::string describe(const std::string& what, const std::deque<std::string>& log) {
  std::string text = what;
  for (size_t i = 0; i < log.size(); ++i) text += (i == 0 ? ": " : "; ") + log[i];
  return text;
}

// The decoder's arguments: the model's files, our settings, then BRIMLOW_SPHINX_ARGS.
std::vector<std::string> engineArgs(const ModelFiles& model,
                                    const std::vector<std::string>& overrides) {
  // End of speech after 350 ms of silence instead of 500, and no flat-lexicon second pass:
  // ending an utterance then costs about 10-40 ms instead of 90-430, and the analyzer's final
  // latency p50 fell from about 800 to 570-670 ms, the legacy one from about 1230 to 1110 ms
  // (bench/sphinx-settings-study). Word errors did not rise on our sets (librivox 31.0 ->
  // 29.6%, cards 23.8 -> 19.0%); on a held-out set this pass alone cost 1.3 points. The
  // best-path pass stays: dropping it cost more. A 250 ms window stretched the first
  // utterance's word times by seconds, and 300 ms gained only about 20 ms of p50, so 350 ms
  // it is. The parser skips argv[0].
  std::vector<std::string> args{
      "brimlow", "-hmm",           model.acousticModel, "-lm", model.languageModel,
      "-dict",   model.dictionary, "-vad_postspeech",   "35",  "-fwdflat",
      "no"};
  for (size_t i = 0; i + 1 < overrides.size(); i += 2) {
    auto same = std::find(args.begin() + 1, args.end(), overrides[i]);
    if (same != args.end() && same + 1 != args.end()) {
      *(same + 1) = overrides[i + 1];
    } else {
      args.push_back(overrides[i]);
      args.push_back(overrides[i + 1]);
    }
  }
  if (overrides.size() % 2 != 0) args.push_back(overrides.back());
  return args;
}

}  // namespace

Decoder::Decoder(std::unique_ptr<Engine> engine) : engine_(std::move(engine)) {}
Decoder::~Decoder() = default;

Expected<std::unique_ptr<Decoder>, std::string> Decoder::create(const ModelFiles& model) {
  // Declared before the lock: a failed engine is freed after the lock is released, since
  // freeing takes the lock too.
  auto engine = std::make_unique<Engine>();
  const auto overrides = overrideArgs();
  {
    std::lock_guard lock(setupMutex());
    silenceLoggingLocked();
    LogCapture capture(engine->log);
    auto args = engineArgs(model, overrides);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    engine->config =
        cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
    if (!engine->config)
      return unexpected(describe(
          overrides.empty()
              ? "cmd_ln_parse_r() rejected the settings for the model in " + model.directory
              : "cmd_ln_parse_r() rejected BRIMLOW_SPHINX_ARGS",
          engine->log));
    engine->ps = ps_init(engine->config);
    if (!engine->ps)
      return unexpected(
          describe("ps_init() failed for the model in " + model.directory, engine->log));
    engine->baseModel = ownNgrams(ps_get_lm(engine->ps, kSearch));
    if (!engine->baseModel)
      return unexpected("the PocketSphinx model in " + model.directory +
                        " has no n-gram language model");
  }
  auto decoder = std::unique_ptr<Decoder>(new Decoder(std::move(engine)));
  const long frameRate = cmd_ln_int_r(decoder->engine_->config, "-frate");
  decoder->frameRate_ = frameRate > 0 ? static_cast<double>(frameRate) : 100.0;
  const double sampleRate = cmd_ln_float_r(decoder->engine_->config, "-samprate");
  decoder->sampleRate_ = sampleRate > 0 ? sampleRate : 16000.0;
  return decoder;
}

bool Decoder::fail(const std::string& what) {
  error_ = describe(what, engine_->log);
  return false;
}

bool Decoder::setVocabulary(const std::vector<std::string>& phrases) {
  if (phrases == vocabulary_) return true;
  if (inUtterance_) return fail("the vocabulary cannot change during an utterance");
  // Added words cannot be taken out of the engine again; such a decoder serves only the
  // vocabulary that added them.
  if (!addedWords_.empty())
    return fail("this decoder serves only the vocabulary that added its words");
  std::lock_guard lock(setupMutex());
  LogCapture capture(engine_->log);
  ps_decoder_t* ps = engine_->ps;
  const auto entries = vocabularyEntries(phrases, [ps](const std::string& word) {
    std::optional<std::string> phones;
    if (char* known = ps_lookup_word(ps, word.c_str())) {
      phones = known;
      ckd_free(known);
    }
    return phones;
  });
  vocabulary_ = phrases;
  return entries.empty() || addToEngine(entries);
}

bool Decoder::addToEngine(const std::vector<DictionaryEntry>& entries) {
  // The base model must not be given words of its own: ngram_model_add_word, which
  // ps_add_word calls on every n-gram search's model, leaves the added words such that scoring
  // them in a trigram's history reads out of bounds (the decoder crashed on vocabularies of a
  // dozen words). So the base search goes first: the words then reach only the dictionary, and
  // one search is made over the base model's own n-grams interpolated with a small model of the
  // words. Replacing the search instead of adding a second one, and interpolating with the
  // n-grams rather than with the old search's set, keeps the cost of a vocabulary to about a
  // tenth more decoding time and 12 MiB (bench/vocabulary-bench).
  ps_decoder_t* ps = engine_->ps;
  std::string why;
  ngram_model_t* added = readArpa(engine_->config, ps, unigramArpa(entries), why);
  if (!added) return fail(why);
  ps_unset_search(ps, kSearch);
  bool ok = true;
  for (const auto& [word, phones] : entries) {
    if (ps_add_word(ps, word.c_str(), phones.c_str(), FALSE) < 0) {
      ok = fail("ps_add_word(" + word + ", " + phones + ") failed");
      break;
    }
    addedWords_.push_back(word);
  }
  ngram_model_t* set = nullptr;
  if (ok) {
    size_t words = 0;
    for (const auto& entry : entries) words += entry.word.find('(') == std::string::npos;
    ngram_model_t* models[2] = {engine_->baseModel, added};
    char baseName[] = "base";
    char addedName[] = "vocabulary";
    char* names[2] = {baseName, addedName};
    const double share = vocabularyShare(words, cmd_ln_float_r(engine_->config, "-lw"));
    const float32 weights[2] = {static_cast<float32>(1.0 - share), static_cast<float32>(share)};
    set = ngram_model_set_init(engine_->config, models, names, weights, 2);
    if (!set) ok = fail("ngram_model_set_init() failed");
  }
  ngram_model_free(added);  // the set holds its own reference
  // Without a search the decoder cannot decode at all: on failure the base model's comes back.
  if (!set || ps_set_lm(ps, kSearch, set) < 0) {
    if (set) ok = fail("ps_set_lm() failed for the vocabulary's model");
    ps_set_lm(ps, kSearch, engine_->baseModel);
  }
  if (set) ngram_model_free(set);  // the search keeps its own reference
  if (ps_set_search(ps, kSearch) < 0) return fail("ps_set_search() failed");
  return ok;
}

bool Decoder::startStream() {
  if (inUtterance_) return false;
  heardSound_ = false;
  heldSilence_.clear();
  skippedSamples_ = 0;
  LogCapture capture(engine_->log);
  return ps_start_stream(engine_->ps) >= 0 || fail("ps_start_stream() failed");
}

bool Decoder::startUtterance() {
  if (inUtterance_) return true;
  LogCapture capture(engine_->log);
  if (ps_start_utt(engine_->ps) < 0) return fail("ps_start_utt() failed");
  inUtterance_ = true;
  return true;
}

bool Decoder::process(const int16_t* samples, size_t count) {
  if (!inUtterance_) return fail("audio came outside an utterance");
  if (count == 0) return true;
  LogCapture capture(engine_->log);
  if (!heardSound_) {
    // A second or more of near-silence (dither, the hiss of an idle digital chain) before a
    // stream's first speech leaves the engine's noise estimate where it garbles that speech:
    // "go forward ten meters" came out as "oh sure years". Such silence carries nothing, so
    // only its last 300 ms go in, enough for the onset of speech.
    constexpr int16_t kSilenceLevel = 4;  // about -78 dBFS
    const size_t keep = static_cast<size_t>(sampleRate_ * 0.3);
    const int16_t* sound = std::find_if(samples, samples + count, [](int16_t s) {
      return s > kSilenceLevel || s < -kSilenceLevel;
    });
    heldSilence_.insert(heldSilence_.end(), samples, sound);
    if (heldSilence_.size() > keep) {
      const size_t dropped = heldSilence_.size() - keep;
      skippedSamples_ += dropped;
      heldSilence_.erase(heldSilence_.begin(), heldSilence_.begin() + static_cast<long>(dropped));
    }
    if (sound == samples + count) return true;
    heardSound_ = true;
    std::vector<int16_t> held;
    held.swap(heldSilence_);
    if (!held.empty() && ps_process_raw(engine_->ps, held.data(), held.size(), FALSE, FALSE) < 0)
      return fail("ps_process_raw() failed");
    count -= static_cast<size_t>(sound - samples);
    samples = sound;
  }
  return ps_process_raw(engine_->ps, samples, count, FALSE, FALSE) >= 0 ||
         fail("ps_process_raw() failed");
}

bool Decoder::inSpeech() const {
  return ps_get_in_speech(engine_->ps) != 0;
}

bool Decoder::endUtterance() {
  if (!inUtterance_) return true;
  inUtterance_ = false;
  LogCapture capture(engine_->log);
  return ps_end_utt(engine_->ps) >= 0 || fail("ps_end_utt() failed");
}

std::vector<Word> Decoder::words() const {
  std::vector<Word> out;
  int32 score = 0;
  // Without a hypothesis the segment iterator has nothing to walk.
  if (!ps_get_hyp(engine_->ps, &score)) return out;
  for (ps_seg_t* seg = ps_seg_iter(engine_->ps); seg; seg = ps_seg_next(seg)) {
    std::string word = transcriptWord(ps_seg_word(seg));
    if (word.empty()) continue;
    int start = 0, end = 0;
    ps_seg_frames(seg, &start, &end);
    const double skipped = static_cast<double>(skippedSamples_) / sampleRate_;
    out.push_back(
        Word{std::move(word), skipped + start / frameRate_, skipped + (end + 1) / frameRate_});
  }
  return out;
}

}  // namespace brimlow::pocketsphinx
