#pragma once
// What a session vocabulary adds to a decoder: dictionary entries for the words the dictionary
// lacks and for phrases said as a whole, and a small model that makes them likely. Pure text
// work; decoder.cpp hands the results to the engine.
#include <string>
#include <vector>

#include "engines/pocketsphinx/pronunciation.h"

namespace brimlow::pocketsphinx {

struct DictionaryEntry {
  std::string word;    // "kubernetes", "kubernetes(2)" for a further pronunciation, a phrase
  std::string phones;  // "K UW B ER N EH T IY Z"
};

// Entries for `phrases`: each word the dictionary lacks with its pronunciations (pronunciation.h,
// or two dictionary words joined, as in "webhook"), and each phrase of several words (or of a
// known word) as one entry of its own, a name the dictionary has with its other readings as
// alternates, also where it is part of a longer name. A phrase with a word that has no
// pronunciation is left out; the rest still count.
std::vector<DictionaryEntry> vocabularyEntries(const std::vector<std::string>& phrases,
                                               const KnownPhones& known);

// A unigram ARPA model over the entries' words (further pronunciations share their word's
// unigram), the words equally likely.
std::string unigramArpa(const std::vector<DictionaryEntry>& entries);

// A dictionary word as a transcript writes it: "read(2)" → "read", a phrase entry → its words;
// fillers ("<sil>", "[NOISE]", "++BREATH++") → empty.
std::string transcriptWord(const char* dictionaryWord);

}  // namespace brimlow::pocketsphinx
