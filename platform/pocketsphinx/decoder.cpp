#include "platform/pocketsphinx/decoder.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <sphinxbase/ngram_model.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>

#include "platform/pocketsphinx/pronunciation.h"

namespace brimlow::pocketsphinx {
namespace {

// ps_init, ps_reinit, search set-up and the err_* calls touch process globals. These objects
// are never destroyed: detached recognition threads may still use them while the process exits.
std::mutex& setupMutex() {
  static auto* m = new std::mutex;
  return *m;
}

std::mutex& messagesMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::deque<std::string>& messages() {
  static auto* m = new std::deque<std::string>;
  return *m;
}

// The engine's log sink: information is dropped, warnings and errors are kept for
// diagnostics. Never writes to stderr.
void engineLog(void*, err_lvl_t level, const char* format, ...) {
  if (level != ERR_WARN && level != ERR_ERROR && level != ERR_FATAL) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::string line(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::lock_guard lock(messagesMutex());
  messages().push_back(std::move(line));
  if (messages().size() > 50) messages().pop_front();
}

void silenceLoggingLocked() {
  static bool done = false;
  if (done) return;
  err_set_callback(engineLog, nullptr);
  err_set_logfp(nullptr);
  done = true;
}

// How likely each vocabulary word is anywhere, through the vocabulary's model interpolated
// with the base model. On bench/vocabulary-bench 1e-5, 1e-4 and 1e-3 gave the same recall and
// word errors.
constexpr double kVocabularyWordProbability = 1e-4;

// `text` in a temporary file for `use` (the engine reads models and dictionaries from files
// only); false when the file could not be written.
template <class Use>
bool withTemporaryFile(const std::string& text, Use use) {
  std::error_code ec;
  std::string pattern = (std::filesystem::temp_directory_path(ec) / "brimlow-vocabulary-XXXXXX");
  if (ec) pattern = "/tmp/brimlow-vocabulary-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  const int fd = mkstemp(path.data());
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (written) use(path.data());
  std::remove(path.data());
  return written;
}

bool loadDictionary(ps_decoder_t* ps, const std::string& text) {
  int loaded = -1;
  withTemporaryFile(text,
                    [&](const char* path) { loaded = ps_load_dict(ps, path, nullptr, nullptr); });
  return loaded >= 0;
}

ngram_model_t* readArpa(cmd_ln_t* config, ps_decoder_t* ps, const std::string& arpa) {
  ngram_model_t* model = nullptr;
  withTemporaryFile(arpa, [&](const char* path) {
    model = ngram_model_read(config, path, NGRAM_ARPA, ps_get_logmath(ps));
  });
  return model;
}

// A vocabulary phrase as one dictionary word ("vocabulary:kanban_board"): its words said in a
// row, with a unigram of its own, so that the phrase is favoured as a whole. Written in
// transcripts as its words ("kanban board").
constexpr std::string_view kPhrasePrefix = "vocabulary:";

// "read(2)" → "read"; a phrase word → its words; fillers ("<sil>", "[NOISE]", "++BREATH++")
// → empty.
std::string baseWord(const char* word) {
  if (!word || !*word || word[0] == '<' || word[0] == '[' || word[0] == '+') return {};
  std::string w(word);
  if (auto paren = w.find('('); paren != std::string::npos && paren > 0 && w.back() == ')')
    w.erase(paren);
  if (w.starts_with(kPhrasePrefix)) {
    w.erase(0, kPhrasePrefix.size());
    std::replace(w.begin(), w.end(), '_', ' ');
  }
  return w;
}

// Words of a phrase as written; anything but letters, digits and apostrophes separates.
std::vector<std::string> tokens(const std::string& phrase) {
  std::vector<std::string> out;
  std::string current;
  for (char c : phrase) {
    unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '\'' || u >= 0x80) {
      current += c;
    } else if (!current.empty()) {
      out.push_back(std::move(current));
      current.clear();
    }
  }
  if (!current.empty()) out.push_back(std::move(current));
  return out;
}

// Extra engine settings for trade-off studies, e.g.
//   BRIMLOW_SPHINX_ARGS="-vad_postspeech 30 -fwdflat no -bestpath no"
// (flag/value pairs that replace or add to the settings below, for every decoder; the former
// defaults are "-vad_postspeech 50 -fwdflat yes"). Unset in production; a rejected list fails
// decoder creation rather than being half applied.
std::vector<std::string> overrideArgs() {
  std::vector<std::string> out;
  if (const char* text = std::getenv("BRIMLOW_SPHINX_ARGS")) {
    std::istringstream in(text);
    for (std::string arg; in >> arg;) out.push_back(std::move(arg));
  }
  return out;
}

std::string lowercase(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A word made of two dictionary words ("webhook", "devops", "pagerduty") said as those two:
// their pronunciations joined, from the split whose shorter part is longest.
std::optional<std::string> compoundPronunciation(ps_decoder_t* ps, const std::string& word) {
  std::optional<std::string> best;
  size_t bestShorter = 0;
  for (size_t split = 2; split + 2 <= word.size(); ++split) {
    const size_t shorter = std::min(split, word.size() - split);
    if (shorter <= bestShorter) continue;
    char* left = ps_lookup_word(ps, word.substr(0, split).c_str());
    char* right = left ? ps_lookup_word(ps, word.substr(split).c_str()) : nullptr;
    if (left && right) {
      best = std::string(left) + " " + right;
      bestShorter = shorter;
    }
    if (left) ckd_free(left);
    if (right) ckd_free(right);
  }
  return best;
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

std::vector<std::string> recentEngineMessages() {
  std::lock_guard lock(messagesMutex());
  return {messages().begin(), messages().end()};
}

struct Decoder::Engine {
  cmd_ln_t* config = nullptr;
  ps_decoder_t* ps = nullptr;
  std::string baseSearch;
  ~Engine() {
    std::lock_guard lock(setupMutex());
    if (ps) ps_free(ps);
    if (config) cmd_ln_free_r(config);
  }
};

Decoder::Decoder(std::unique_ptr<Engine> engine) : engine_(std::move(engine)) {}
Decoder::~Decoder() = default;

Expected<std::unique_ptr<Decoder>, std::string> Decoder::create(const ModelFiles& model) {
  // Declared before the lock: a failed engine is freed after the lock is released, since
  // freeing takes the lock too.
  auto engine = std::make_unique<Engine>();
  auto overrides = overrideArgs();
  {
    std::lock_guard lock(setupMutex());
    silenceLoggingLocked();
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
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    engine->config =
        cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
    if (engine->config) engine->ps = ps_init(engine->config);
  }
  if (!engine->config && !overrides.empty()) {
    std::string why;
    for (const auto& message : recentEngineMessages()) why += "; " + message;
    return unexpected("BRIMLOW_SPHINX_ARGS was rejected" + why);
  }
  if (!engine->config)
    return unexpected("the PocketSphinx configuration for the model in " + model.directory +
                      " was rejected");
  if (!engine->ps)
    return unexpected("the PocketSphinx model in " + model.directory + " could not be loaded");
  // The search that ps_init makes from "-lm"; the vocabulary search is built on its model.
  engine->baseSearch = "_default";
  if (!ps_get_lm(engine->ps, engine->baseSearch.c_str()))
    return unexpected("the PocketSphinx model in " + model.directory +
                      " has no n-gram language model");
  auto decoder = std::unique_ptr<Decoder>(new Decoder(std::move(engine)));
  const long frameRate = cmd_ln_int_r(decoder->engine_->config, "-frate");
  decoder->frameRate_ = frameRate > 0 ? static_cast<double>(frameRate) : 100.0;
  const double sampleRate = cmd_ln_float_r(decoder->engine_->config, "-samprate");
  decoder->sampleRate_ = sampleRate > 0 ? sampleRate : 16000.0;
  return decoder;
}

bool Decoder::setVocabulary(const std::vector<std::string>& phrases) {
  if (inUtterance_) return false;
  if (phrases == vocabulary_) return true;
  // Added words cannot be taken out of the engine again; such a decoder serves only the
  // vocabulary that added them.
  if (!addedWords_.empty()) return false;
  ps_decoder_t* ps = engine_->ps;
  std::lock_guard lock(setupMutex());
  ngram_model_t* lm = ps_get_lm(ps, engine_->baseSearch.c_str());
  if (!lm) return false;
  vocabulary_ = phrases;

  // Every pronunciation first: the model and the dictionary are then made once.
  std::vector<std::pair<std::string, std::string>> entries;  // dictionary word, phones
  std::map<std::string, std::string> phones;                 // first pronunciation of a word
  std::set<std::string> phraseWords, guessed;
  for (const auto& phrase : phrases) {
    std::vector<std::string> words;
    bool pronounceable = true;
    for (const auto& token : tokens(phrase)) {
      const std::string word = lowercase(token);
      words.push_back(word);
      if (phones.count(word)) continue;
      if (char* known = ps_lookup_word(ps, word.c_str())) {
        phones[word] = known;
        ckd_free(known);
        continue;
      }
      auto pronunciations = guessPronunciations(token);
      if (auto compound = compoundPronunciation(ps, word);
          compound && std::find(pronunciations.begin(), pronunciations.end(), *compound) ==
                          pronunciations.end())
        pronunciations.push_back(std::move(*compound));
      // A word without a pronunciation is left out, and so is every phrase with it; the rest of
      // the vocabulary still works.
      if (pronunciations.empty()) {
        pronounceable = false;
        continue;
      }
      phones[word] = pronunciations.front();
      guessed.insert(word);
      for (size_t i = 0; i < pronunciations.size(); ++i)
        entries.emplace_back(i == 0 ? word : word + "(" + std::to_string(i + 1) + ")",
                             std::move(pronunciations[i]));
    }
    if (!pronounceable || words.empty()) continue;
    // A single word the dictionary lacked is favoured as it is; any other phrase as a whole.
    if (words.size() == 1 && guessed.count(words[0])) continue;
    std::string name(kPhrasePrefix), said;
    for (const auto& word : words) {
      if (name.size() > kPhrasePrefix.size()) name += '_';
      name += word;
      if (!said.empty()) said += ' ';
      said += phones[word];
    }
    if (phraseWords.insert(name).second) entries.emplace_back(name, said);
  }

  if (entries.empty()) return true;

  // The engine's base model must not be given words of its own: ngram_model_add_word, which
  // ps_add_word also calls, leaves the added words' entries such that scoring them in a
  // trigram's history reads out of bounds (the decoder crashed on vocabularies of a dozen
  // words). So the words go into the dictionary, reloaded, and into a small model of their
  // own (its words equally likely) that is interpolated with the base model in the search.
  std::ifstream base(cmd_ln_str_r(engine_->config, "-dict"), std::ios::binary);
  std::ostringstream dictionary;
  dictionary << base.rdbuf();
  if (!base) return false;
  for (const auto& [word, said] : entries) dictionary << word << ' ' << said << '\n';
  if (!loadDictionary(ps, dictionary.str())) return false;
  for (const auto& entry : entries) addedWords_.push_back(entry.first);

  std::set<std::string> modelWords;
  for (const auto& entry : entries) modelWords.insert(entry.first.substr(0, entry.first.find('(')));
  std::string arpa = "\\data\\\nngram 1=" + std::to_string(modelWords.size() + 2) +
                     "\n\n\\1-grams:\n-99.000000 <s>\n";
  char probability[32];
  std::snprintf(probability, sizeof probability, "%.6f",
                -std::log10(static_cast<double>(modelWords.size() + 1)));
  for (const auto& word : modelWords) arpa += std::string(probability) + " " + word + "\n";
  arpa += std::string(probability) + " </s>\n\n\\end\\\n";
  ngram_model_t* added = readArpa(engine_->config, ps, arpa);
  if (!added) return false;
  ngram_model_t* models[2] = {lm, added};
  char baseName[] = "base";
  char addedName[] = "vocabulary";
  char* names[2] = {baseName, addedName};
  const double share =
      std::min(0.5, kVocabularyWordProbability * static_cast<double>(modelWords.size() + 1));
  const float32 weights[2] = {static_cast<float32>(1.0 - share), static_cast<float32>(share)};
  ngram_model_t* set = ngram_model_set_init(engine_->config, models, names, weights, 2);
  ngram_model_free(added);  // the set holds its own references
  if (!set) return false;
  const int installed = ps_set_lm(ps, "brimlow-vocabulary", set);
  ngram_model_free(set);  // the search keeps its own reference
  if (installed < 0 || ps_set_search(ps, "brimlow-vocabulary") < 0) {
    ps_set_search(ps, engine_->baseSearch.c_str());
    return false;
  }
  return true;
}

bool Decoder::startStream() {
  if (inUtterance_) return false;
  heardSound_ = false;
  heldSilence_.clear();
  skippedSamples_ = 0;
  return ps_start_stream(engine_->ps) >= 0;
}

bool Decoder::startUtterance() {
  if (inUtterance_) return true;
  if (ps_start_utt(engine_->ps) < 0) return false;
  inUtterance_ = true;
  return true;
}

bool Decoder::process(const int16_t* samples, size_t count) {
  if (!inUtterance_) return false;
  if (count == 0) return true;
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
      return false;
    count -= static_cast<size_t>(sound - samples);
    samples = sound;
  }
  return ps_process_raw(engine_->ps, samples, count, FALSE, FALSE) >= 0;
}

bool Decoder::inSpeech() const {
  return ps_get_in_speech(engine_->ps) != 0;
}

bool Decoder::endUtterance() {
  if (!inUtterance_) return true;
  inUtterance_ = false;
  return ps_end_utt(engine_->ps) >= 0;
}

std::vector<Word> Decoder::words() const {
  std::vector<Word> out;
  int32 score = 0;
  // Without a hypothesis the segment iterator has nothing to walk.
  if (!ps_get_hyp(engine_->ps, &score)) return out;
  for (ps_seg_t* seg = ps_seg_iter(engine_->ps); seg; seg = ps_seg_next(seg)) {
    std::string word = baseWord(ps_seg_word(seg));
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
