#pragma once
// Pronunciations for vocabulary words that the engine's dictionary lacks ("Kubernetes", "Jira",
// "OKRs"), in the phone set of the en-US acoustic model (AA AE AH ... ZH).
//
// Words go through espeak-ng's English rules; its phoneme mnemonics are mapped onto the model's
// phones by one table. Acronyms written in capitals are spelled letter by letter, because that
// is how they are said in meetings. No network, no model files beyond espeak-ng's own data.
//
// Threads: any thread. espeak-ng keeps its state in process globals, so it is initialised once
// and every call into it is serialised here.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimlow::pocketsphinx {

// espeak-ng mnemonics of one word, phonemes separated by '|' and words by spaces, with stress
// marks (for example "k|j|'u:|b|3|n|,i:|t|s") → model phones ("K Y UW B ER N IY T S").
// Nothing when a phoneme has no counterpart in the table.
std::optional<std::string> phonesFromEspeak(std::string_view mnemonics);

// "OKRs", "API", "SQL": two or more capitals, optionally followed by a plural "s".
bool isAcronym(std::string_view word);
// The letters of an acronym said one by one ("OKRs" → "OW K EY AA R Z"); nothing if a character
// is not a letter.
std::optional<std::string> spelledLetters(std::string_view acronym);

// Pronunciations of a word as the host wrote it, most likely first; empty when none could be
// made (espeak-ng missing or a phoneme without counterpart): the caller then skips the word.
std::vector<std::string> guessPronunciations(const std::string& word);

}  // namespace brimlow::pocketsphinx
