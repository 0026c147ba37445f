#include "engines/pocketsphinx/vocabulary.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string_view>

#include "engines/pocketsphinx/pronunciation.h"
#include "engines/pocketsphinx/spelling.h"
#include "support/text.h"

namespace brimlow::pocketsphinx {
namespace {

// A vocabulary phrase as one dictionary word ("vocabulary:kanban_board"): its words said in a
// row, with a unigram of its own, so that the phrase is favoured as a whole. Written in
// transcripts as its words ("kanban board").
constexpr std::string_view kPhrasePrefix = "vocabulary:";

// A word made of two dictionary words ("webhook", "devops", "pagerduty") said as those two:
// their pronunciations joined, from the split whose shorter part is longest.
std::optional<std::string> compoundPronunciation(const KnownPhones& known,
                                                 const std::string& word) {
  std::optional<std::string> best;
  size_t bestShorter = 0;
  for (size_t split = 2; split + 2 <= word.size(); ++split) {
    const size_t shorter = std::min(split, word.size() - split);
    if (shorter <= bestShorter) continue;
    auto left = known(word.substr(0, split));
    auto right = left ? known(word.substr(split)) : std::nullopt;
    if (left && right) {
      best = *left + " " + *right;
      bestShorter = shorter;
    }
  }
  return best;
}

// What a vocabulary adds, gathered across its phrases: every pronunciation first, so that the
// engine is changed once.
class EntryCollector {
 public:
  explicit EntryCollector(const KnownPhones& known) : known_(known) {}

  void addPhrase(const std::string& phrase) {
    const auto tokens = common::wordTokens(phrase);
    std::vector<std::string> words;
    bool pronounceable = true;
    for (const auto& token : tokens) {
      words.push_back(common::lowercased(token));
      pronounceable = pronounce(token, words.back()) && pronounceable;
    }
    if (!pronounceable || words.empty()) return;
    // A single word the dictionary lacked is favoured as it is; any other phrase as a whole.
    if (words.size() == 1 && guessed_.count(words[0])) return;
    std::string name(kPhrasePrefix), said;
    for (const auto& word : words) {
      if (name.size() > kPhrasePrefix.size()) name += '_';
      name += word;
      if (!said.empty()) said += ' ';
      said += phones_[word];
    }
    if (!phrases_.insert(name).second) return;
    entries_.push_back({name, said});
    // A name the dictionary has is often said otherwise than its one entry ("Siobhan" as
    // SH IH V AO N, not SH AW B AA N): the other readings are alternates of the phrase.
    if (words.size() == 1) {
      size_t n = 1;
      for (auto& reading : nameReadings(tokens[0]))
        if (reading != said) entries_.push_back({name + "(" + std::to_string(++n) + ")", reading});
      return;
    }
    // Someone listed by full name is mostly called by one of its names ("Siobhan" of "Siobhan
    // Byrne"): each name the dictionary has is favoured on its own too, as a name the
    // dictionary lacks already is. A word the word list has in lower case is no name
    // ("Board" of "Kanban Board").
    const WordList& list = WordList::installed();
    for (size_t i = 0; i < tokens.size(); ++i)
      if (!guessed_.count(words[i]) && tokens[i] != words[i] && !list.empty() &&
          !list.hasLowercase(words[i]))
        addPhrase(tokens[i]);
  }

  std::vector<DictionaryEntry> take() { return std::move(entries_); }

 private:
  // Finds the phones of `word` (written `token`), adding entries for a word the dictionary
  // lacks; false when it has no pronunciation.
  bool pronounce(const std::string& token, const std::string& word) {
    if (phones_.count(word)) return true;
    if (auto known = known_(word)) {
      phones_[word] = *known;
      return true;
    }
    auto pronunciations = guessPronunciations(token, known_);
    if (auto compound = compoundPronunciation(known_, word);
        compound &&
        std::find(pronunciations.begin(), pronunciations.end(), *compound) == pronunciations.end())
      pronunciations.push_back(std::move(*compound));
    if (pronunciations.empty()) return false;
    phones_[word] = pronunciations.front();
    guessed_.insert(word);
    for (size_t i = 0; i < pronunciations.size(); ++i)
      entries_.push_back(
          {i == 0 ? word : word + "(" + std::to_string(i + 1) + ")", std::move(pronunciations[i])});
    return true;
  }

  const KnownPhones& known_;
  std::vector<DictionaryEntry> entries_;
  std::map<std::string, std::string> phones_;  // first pronunciation of each word seen
  std::set<std::string> phrases_, guessed_;
};

}  // namespace

std::vector<DictionaryEntry> vocabularyEntries(const std::vector<std::string>& phrases,
                                               const KnownPhones& known) {
  EntryCollector collector(known);
  for (const auto& phrase : phrases) collector.addPhrase(phrase);
  return collector.take();
}

std::string unigramArpa(const std::vector<DictionaryEntry>& entries) {
  std::set<std::string> words;
  for (const auto& entry : entries) words.insert(entry.word.substr(0, entry.word.find('(')));
  std::string arpa =
      "\\data\\\nngram 1=" + std::to_string(words.size() + 2) + "\n\n\\1-grams:\n-99.000000 <s>\n";
  char probability[32];
  std::snprintf(probability, sizeof probability, "%.6f",
                -std::log10(static_cast<double>(words.size() + 1)));
  for (const auto& word : words) arpa += std::string(probability) + " " + word + "\n";
  arpa += std::string(probability) + " </s>\n\n\\end\\\n";
  return arpa;
}

std::string transcriptWord(const char* dictionaryWord) {
  const char* word = dictionaryWord;
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

}  // namespace brimlow::pocketsphinx
