#pragma once
// Pronunciations for vocabulary words that the engine's dictionary lacks ("Kubernetes", "Jira",
// "OKRs", "GraphQL", "Oluwaseun"), in the phone set of the en-US acoustic model (AA AE AH ... ZH).
//
// A word is said the ways people in a meeting say it, each a dictionary alternate:
// - as English reads it: espeak-ng's en-us rules, its phoneme mnemonics mapped onto the model's
//   phones by one table (phones.h);
// - a name (one capital, then lower case) also as it is written, letter for sound, with the
//   vowels of most languages other than English ("Thandiwe" T AA N D IY W EY): espeak-ng's
//   Swahili rules, whose spelling is phonemic, read in IPA and mapped by a second table;
// - a mixed-case compound by its parts, capitals after a word part said as letters ("GraphQL"
//   graph + Q + L, "macOS" mac + O + S, "MongoDB" mongo + D + B);
// - an acronym letter by letter ("OKRs", "AWS"), and one of four or more letters with a vowel
//   also as a word ("JSON", "YAML").
// Letters beyond ASCII are read as their ASCII transliteration ("Inés" as "Ines"). Other English
// dialects' rules were measured as further alternates and added nothing (bench/vocabulary-bench).
// No network, no model files beyond espeak-ng's own data.
//
// Threads: any thread. espeak-ng keeps its state in process globals, so it is initialised once
// and every call into it is serialised here.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engines/pocketsphinx/phones.h"

namespace brimlow::pocketsphinx {

// The phones of a word the dictionary has (lower case), or nothing.
using KnownPhones = std::function<std::optional<std::string>(const std::string& word)>;

// "OKRs", "API", "SQL": two or more capitals, optionally followed by a plural "s".
bool isAcronym(std::string_view word);
// The letters of an acronym said one by one ("OKRs" → "OW K EY AA R Z"); nothing if a character
// is not a letter.
std::optional<std::string> spelledLetters(std::string_view acronym);
// "GraphQL" → "Graph", "QL"; "macOS" → "mac", "OS"; "iPhone" → "i", "Phone": the word split
// where lower case meets a capital and before the last capital of a run that a lower-case letter
// follows. A word without such a place is one part.
std::vector<std::string> caseParts(std::string_view word);

// `text` in ASCII, letters beyond it transliterated ("Björn" → "Bjorn", "Łukasz" → "Lukasz");
// characters without a transliteration are left out.
std::string asciiFolded(std::string_view text);

// Pronunciations of a word as the host wrote it (see the top of this file), most likely first;
// `known` gives the phones of a compound's word parts. Empty when none could be made (espeak-ng
// missing, or a phoneme without counterpart): the caller then skips the word.
std::vector<std::string> guessPronunciations(const std::string& word, const KnownPhones& known);

// Further ways to say a name the dictionary already has ("Siobhan", "Leilani"), for a vocabulary
// that holds it: the readings above that the dictionary's own does not equal.
std::vector<std::string> nameReadings(const std::string& word);

}  // namespace brimlow::pocketsphinx
