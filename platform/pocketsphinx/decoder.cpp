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

// The weight of an added word's unigram against a uniform share of the base model's words.
// Chosen on bench/vocabulary-bench: see the figures there.
constexpr float kAddedWordWeight = 1.0f;

// "read(2)" → "read"; fillers ("<sil>", "[NOISE]", "++BREATH++") → empty.
std::string baseWord(const char* word) {
  if (!word || !*word || word[0] == '<' || word[0] == '[' || word[0] == '+') return {};
  std::string w(word);
  if (auto paren = w.find('('); paren != std::string::npos && paren > 0 && w.back() == ')')
    w.erase(paren);
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

std::string log10Text(double p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6f", p > 0 ? std::log10(p) : -99.0);
  return buf;
}

// A bigram ARPA model of word runs (each run a sentence), with absolute discounting so that
// it also scores word orders that were not listed.
std::string phraseArpa(const std::vector<std::vector<std::string>>& runs) {
  constexpr double kDiscount = 0.5;
  std::map<std::string, double> unigram;
  std::map<std::string, std::map<std::string, double>> bigram;
  double total = 0;
  for (const auto& run : runs) {
    std::string previous = "<s>";
    unigram["<s>"] += 1;
    for (const auto& word : run) {
      unigram[word] += 1;
      bigram[previous][word] += 1;
      previous = word;
      total += 1;
    }
    unigram["</s>"] += 1;
    bigram[previous]["</s>"] += 1;
    total += 1;
  }
  auto p1 = [&](const std::string& w) { return w == "<s>" ? 0.0 : unigram[w] / total; };

  std::string arpa = "\\data\\\nngram 1=" + std::to_string(unigram.size());
  size_t bigrams = 0;
  for (const auto& [w1, next] : bigram) bigrams += next.size();
  arpa += "\nngram 2=" + std::to_string(bigrams) + "\n\n\\1-grams:\n";
  for (const auto& [word, count] : unigram) {
    std::string line = log10Text(p1(word)) + " " + word;
    if (auto it = bigram.find(word); it != bigram.end()) {
      double history = 0, seenMass = 0;
      for (const auto& [w2, c] : it->second) {
        history += c;
        seenMass += p1(w2);
      }
      const double left = kDiscount * static_cast<double>(it->second.size()) / history;
      const double alpha = seenMass < 1.0 ? left / (1.0 - seenMass) : left;
      line += " " + log10Text(alpha);
    }
    arpa += line + "\n";
    (void)count;
  }
  arpa += "\n\\2-grams:\n";
  for (const auto& [w1, next] : bigram) {
    double history = 0;
    for (const auto& [w2, c] : next) history += c;
    for (const auto& [w2, c] : next)
      arpa += log10Text((c - kDiscount) / history) + " " + w1 + " " + w2 + "\n";
  }
  arpa += "\n\\end\\\n";
  return arpa;
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

bool knownWord(ps_decoder_t* ps, const std::string& word) {
  char* pron = ps_lookup_word(ps, word.c_str());
  if (!pron) return false;
  ckd_free(pron);
  return true;
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

  // Every pronunciation first, so that the search is rebuilt once, with the last word.
  std::vector<std::pair<std::string, std::string>> entries;  // dictionary word, phones
  std::set<std::string> seen, known;
  for (const auto& phrase : phrases) {
    for (const auto& token : tokens(phrase)) {
      const std::string word = lowercase(token);
      if (!seen.insert(word).second) continue;
      if (knownWord(ps, word)) {
        known.insert(word);
        continue;
      }
      auto pronunciations = guessPronunciations(token);
      if (auto compound = compoundPronunciation(ps, word);
          compound && std::find(pronunciations.begin(), pronunciations.end(), *compound) ==
                          pronunciations.end())
        pronunciations.push_back(std::move(*compound));
      // A word without a pronunciation is left out; the rest of the vocabulary still works.
      for (size_t i = 0; i < pronunciations.size(); ++i)
        entries.emplace_back(i == 0 ? word : word + "(" + std::to_string(i + 1) + ")",
                             std::move(pronunciations[i]));
    }
  }
  // The bias search may be the active one; never change a search while it is active.
  ps_set_search(ps, engine_->baseSearch.c_str());
  vocabulary_ = phrases;
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& [word, phones] = entries[i];
    // The unigram goes in first, with the vocabulary's weight; ps_add_word then keeps it.
    if (word.find('(') == std::string::npos && ngram_wid(lm, word.c_str()) == ngram_unknown_wid(lm))
      ngram_model_add_word(lm, word.c_str(), kAddedWordWeight);
    const bool last = i + 1 == entries.size();
    if (ps_add_word(ps, word.c_str(), phones.c_str(), last ? TRUE : FALSE) >= 0) {
      addedWords_.push_back(word);
      known.insert(word.substr(0, word.find('(')));
    }
  }

  // Runs of known words, each a sentence of the phrase model.
  std::vector<std::vector<std::string>> runs;
  for (const auto& phrase : phrases) {
    std::vector<std::string> run;
    for (const auto& token : tokens(phrase)) {
      std::string word = lowercase(token);
      if (known.count(word)) {
        run.push_back(std::move(word));
      } else if (!run.empty()) {
        // An unknown word breaks the phrase: what surrounds it was not said together.
        runs.push_back(std::move(run));
        run.clear();
      }
    }
    if (!run.empty()) runs.push_back(std::move(run));
  }
  if (runs.empty()) return true;

  // The engine reads models from files only.
  std::error_code ec;
  std::string pattern = (std::filesystem::temp_directory_path(ec) / "brimlow-vocabulary-XXXXXX");
  if (ec) pattern = "/tmp/brimlow-vocabulary-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  const int fd = mkstemp(path.data());
  if (fd < 0) return false;
  const std::string arpa = phraseArpa(runs);
  bool written = ::write(fd, arpa.data(), arpa.size()) == static_cast<ssize_t>(arpa.size());
  ::close(fd);
  ngram_model_t* phrasesModel =
      written ? ngram_model_read(engine_->config, path.data(), NGRAM_ARPA, ps_get_logmath(ps))
              : nullptr;
  std::remove(path.data());
  if (!phrasesModel) return false;

  ngram_model_t* base = ps_get_lm(ps, engine_->baseSearch.c_str());
  if (!base) {
    ngram_model_free(phrasesModel);
    return false;
  }
  ngram_model_t* models[2] = {base, phrasesModel};
  char baseName[] = "base";
  char phraseName[] = "phrases";
  char* names[2] = {baseName, phraseName};
  const float32 weights[2] = {0.9f, 0.1f};
  ngram_model_t* set = ngram_model_set_init(engine_->config, models, names, weights, 2);
  ngram_model_free(phrasesModel);  // the set holds its own references
  if (!set) return false;
  const int added = ps_set_lm(ps, "brimlow-vocabulary", set);
  ngram_model_free(set);  // the search keeps its own reference
  if (added < 0 || ps_set_search(ps, "brimlow-vocabulary") < 0) {
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
