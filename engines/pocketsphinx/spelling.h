#pragma once
// The engine writes every word in lower case ("kubernetes", "i", "berlin"). Transcripts are read
// by people, so each text is written as a person would write it:
// - a vocabulary term as the host spelled it ("Kubernetes", "OKRs", "nginx", "kanban board"),
//   also where the engine heard it as its parts ("i phone" → "iPhone", "graph q l" →
//   "GraphQL"); a capitalised word of a longer term on its own too ("Adeyemi" of "Oluwaseun
//   Adeyemi"), unless it is an ordinary lower-case word ("board" of "Kanban Board");
// - a proper noun with its capital ("Berlin", "Friday", "Anna"): a word of three or more
//   letters that the word list has only with capitals, spelled as the list spells it;
// - the pronoun "i" as "I", and the first letter in upper case unless a vocabulary term begins
//   the text;
// - a final result ends with "?" where it begins as English questions begin (a question word,
//   or an auxiliary verb and then its subject: "Can you", "Is the build", "Did Priya"), else
//   with "."; a partial result has no end punctuation, since the utterance goes on.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimlow::pocketsphinx {

// Words as a word list writes them, one word a line. About 1.5 MiB for Debian's list: its text,
// and hashes to find words in it.
class WordList {
 public:
  explicit WordList(std::string lines);
  WordList(const WordList&) = delete;  // views into its own text
  WordList& operator=(const WordList&) = delete;
  // Debian's wamerican list (/usr/share/dict/american-english), read once; empty if missing.
  static const WordList& installed();

  // The list's spelling of a lower-case word that it has only with capitals ("berlin" →
  // "Berlin", "nasa" → "NASA"); where it has several, the one with the fewest capitals.
  std::optional<std::string> capitalised(std::string_view word) const;
  // Whether the list has `word` in lower case.
  bool hasLowercase(std::string_view word) const;
  bool empty() const { return lowercase_.empty(); }

 private:
  std::string text_;
  // Words the list has only with capitals: the hash of the lower case, and the spelling in
  // text_; sorted.
  std::vector<std::pair<uint64_t, std::string_view>> capitalised_;
  std::vector<uint64_t> lowercase_;  // hashes of the words it has in lower case, sorted
};

// `text` is the engine's words joined by single spaces; `vocabulary` the host's phrases;
// `isFinal` whether the utterance has ended.
std::string spellTranscript(std::string_view text, const std::vector<std::string>& vocabulary,
                            bool isFinal, const WordList& words = WordList::installed());

}  // namespace brimlow::pocketsphinx
