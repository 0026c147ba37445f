#include "engines/pocketsphinx/spelling.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <iterator>
#include <utility>

#include "engines/pocketsphinx/pronunciation.h"
#include "support/text.h"

namespace brimlow::pocketsphinx {
namespace {

constexpr const char* kInstalledWordList = "/usr/share/dict/american-english";

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

uint64_t hashed(std::string_view word) {
  return std::hash<std::string_view>{}(word);
}

size_t capitals(std::string_view word) {
  return static_cast<size_t>(std::count_if(word.begin(), word.end(), [](char c) {
    return std::isupper(static_cast<unsigned char>(c));
  }));
}

bool contains(std::initializer_list<std::string_view> words, std::string_view word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// Words that begin a question when the utterance begins with them.
bool isQuestionWord(std::string_view word) {
  static const std::initializer_list<std::string_view> words = {
      "what", "who",    "whom",  "whose",   "which", "when",   "where", "why",
      "how",  "what's", "who's", "where's", "how's", "when's", "why's", "what're"};
  return contains(words, word);
}

// Auxiliary and modal verbs, which put a question's subject after them.
bool isAuxiliary(std::string_view word) {
  static const std::initializer_list<std::string_view> words = {
      "am",     "is",     "are",     "was",      "were",    "do",       "does",
      "did",    "have",   "has",     "had",      "can",     "could",    "will",
      "would",  "shall",  "should",  "may",      "might",   "must",     "isn't",
      "aren't", "wasn't", "weren't", "don't",    "doesn't", "didn't",   "haven't",
      "hasn't", "hadn't", "can't",   "couldn't", "won't",   "wouldn't", "shouldn't"};
  return contains(words, word);
}

// Words a question's subject begins with, after its auxiliary ("Can you", "Is the build").
bool beginsSubject(std::string_view word) {
  static const std::initializer_list<std::string_view> words = {
      "i",         "you",        "he",       "she",     "it",       "we",        "they",
      "this",      "that",       "these",    "those",   "there",    "the",       "a",
      "an",        "any",        "some",     "my",      "your",     "our",       "his",
      "her",       "their",      "its",      "every",   "each",     "all",       "both",
      "anyone",    "anybody",    "anything", "someone", "somebody", "something", "everyone",
      "everybody", "everything", "no",       "nobody",  "nothing"};
  return contains(words, word);
}

// Pronouns after which a question word begins a statement ("what I mean is", "when we ship").
bool isPersonalPronoun(std::string_view word) {
  return contains({"i", "you", "he", "she", "we", "they"}, word);
}

// A vocabulary term as the engine may write it, and as the transcript writes it.
struct Term {
  std::vector<std::string> words;  // lower case
  std::string spelling;
};

// The forms of one phrase: its words, and for a single word with capitals inside, its parts as
// the engine hears them ("iPhone" as "i phone"; "GraphQL" as "graph q l" or "graph ql").
void addForms(std::vector<Term>& terms, std::string_view phrase, const WordList& list,
              std::vector<Term>& lone) {
  const std::string spelling(trimmed(phrase));
  const auto tokens = common::wordTokens(spelling);
  if (tokens.empty()) return;
  terms.push_back({common::lowercasedWordTokens(spelling), spelling});
  if (tokens.size() > 1) {
    // A capitalised word of a longer term that the word list does not have in lower case is a
    // name ("Adeyemi", not "Board"): it keeps its capital on its own.
    if (list.empty()) return;  // no telling names from ordinary words
    for (const auto& token : tokens) {
      const std::string lower = common::lowercased(token);
      if (token != lower && !list.hasLowercase(lower)) lone.push_back({{lower}, token});
    }
    return;
  }
  const std::string& token = tokens[0];
  std::vector<std::string> letters, runs;
  if (isAcronym(token)) {
    // Its capitals said one by one ("o k r" for "OKRs").
    for (char c : token)
      if (c >= 'A' && c <= 'Z') letters.emplace_back(1, static_cast<char>(c - 'A' + 'a'));
  } else {
    for (const auto& part : caseParts(token)) {
      const std::string lower = common::lowercased(part);
      runs.push_back(lower);
      if (part.size() > 1 && isAcronym(part))
        for (char c : lower) letters.emplace_back(1, c);
      else
        letters.push_back(lower);
    }
  }
  for (auto* words : {&runs, &letters})
    if (words->size() > 1) terms.push_back({std::move(*words), spelling});
}

std::vector<std::string> splitWords(std::string_view text) {
  std::vector<std::string> words;
  for (size_t at = 0; at <= text.size();) {
    size_t end = text.find(' ', at);
    if (end == std::string_view::npos) end = text.size();
    if (end > at) words.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

// A word of the transcript as written: a vocabulary term (which stands for all of its words),
// or one of the engine's words.
struct Piece {
  std::string text;
  bool term = false;
};

// Whether the transcript's pieces begin a question.
bool isQuestion(const std::vector<Piece>& pieces) {
  if (pieces.empty()) return false;
  const std::string first = common::lowercased(pieces[0].text);
  if (pieces[0].term) return false;
  const std::string second = pieces.size() > 1 ? common::lowercased(pieces[1].text) : "";
  if (isQuestionWord(first)) return !isPersonalPronoun(second);
  if (!isAuxiliary(first) || pieces.size() < 2) return false;
  // A vocabulary term, a name or another proper noun after the auxiliary is its subject too.
  const bool capitalised = std::isupper(static_cast<unsigned char>(pieces[1].text[0]));
  return pieces[1].term || capitalised || beginsSubject(second);
}

}  // namespace

WordList::WordList(std::string lines) : text_(std::move(lines)) {
  // Each word's spellings with capitals, the one with the fewest capitals first.
  std::vector<std::pair<uint64_t, std::string_view>> candidates;
  std::string lower;
  for (size_t at = 0; at < text_.size();) {
    size_t end = text_.find('\n', at);
    if (end == std::string::npos) end = text_.size();
    const std::string_view word = trimmed(std::string_view(text_).substr(at, end - at));
    at = end + 1;
    if (word.empty()) continue;
    lower = common::lowercased(std::string(word));
    if (lower == word)
      lowercase_.push_back(hashed(lower));
    else if (lower.size() >= 3)  // "Al", "Co", "DE": elements and state codes, not names
      candidates.emplace_back(hashed(lower), word);
  }
  std::sort(lowercase_.begin(), lowercase_.end());
  std::stable_sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : capitals(a.second) < capitals(b.second);
  });
  // One spelling per word, none for a word the list also has in lower case ("March", "march").
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (i > 0 && candidates[i].first == candidates[i - 1].first) continue;
    if (std::binary_search(lowercase_.begin(), lowercase_.end(), candidates[i].first)) continue;
    capitalised_.push_back(candidates[i]);
  }
  capitalised_.shrink_to_fit();
  lowercase_.shrink_to_fit();
}

const WordList& WordList::installed() {
  static const WordList list = [] {
    std::ifstream in(kInstalledWordList, std::ios::binary | std::ios::ate);
    std::string text;
    if (in) {
      text.resize(static_cast<size_t>(std::max<std::streamoff>(0, in.tellg())));
      in.seekg(0);
      in.read(text.data(), static_cast<std::streamsize>(text.size()));
      text.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
    }
    return WordList(std::move(text));
  }();
  return list;
}

std::optional<std::string> WordList::capitalised(std::string_view word) const {
  const uint64_t key = hashed(word);
  auto it = std::lower_bound(capitalised_.begin(), capitalised_.end(), key,
                             [](const auto& entry, uint64_t k) { return entry.first < k; });
  if (it == capitalised_.end() || it->first != key) return std::nullopt;
  std::string spelling(it->second);
  if (common::lowercased(spelling) != word) return std::nullopt;  // another word's hash
  return spelling;
}

bool WordList::hasLowercase(std::string_view word) const {
  return std::binary_search(lowercase_.begin(), lowercase_.end(), hashed(word));
}

std::string spellTranscript(std::string_view text, const std::vector<std::string>& vocabulary,
                            bool isFinal, const WordList& list) {
  const auto words = splitWords(text);
  std::vector<Term> terms, lone;
  for (const auto& phrase : vocabulary) addForms(terms, phrase, list, lone);
  terms.insert(terms.end(), std::make_move_iterator(lone.begin()),
               std::make_move_iterator(lone.end()));
  // The longest term wins where terms overlap ("kanban board" before "kanban").
  std::stable_sort(terms.begin(), terms.end(),
                   [](const Term& a, const Term& b) { return a.words.size() > b.words.size(); });

  std::vector<Piece> pieces;
  for (size_t i = 0; i < words.size();) {
    const Term* match = nullptr;
    for (const auto& term : terms) {
      if (term.words.size() > words.size() - i) continue;
      bool same = true;
      for (size_t k = 0; same && k < term.words.size(); ++k)
        same = common::lowercased(words[i + k]) == term.words[k];
      if (same) {
        match = &term;
        break;
      }
    }
    if (match) {
      pieces.push_back({match->spelling, true});
      i += match->words.size();
      continue;
    }
    std::string word = words[i++];
    // The pronoun, also in "i'm", "i'll", "i've", "i'd".
    if (word == "i" || word.starts_with("i'"))
      word[0] = 'I';
    else if (auto proper = list.capitalised(word))
      word = std::move(*proper);
    pieces.push_back({std::move(word), false});
  }

  std::string out;
  for (const auto& piece : pieces) out += (out.empty() ? "" : " ") + piece.text;
  if (out.empty()) return out;
  if (!pieces[0].term && std::islower(static_cast<unsigned char>(out[0])))
    out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
  if (isFinal && std::string_view(".?!").find(out.back()) == std::string_view::npos)
    out += isQuestion(pieces) ? '?' : '.';
  return out;
}

}  // namespace brimlow::pocketsphinx
