#pragma once
// espeak-ng's phonemes mapped onto the phone set of the en-US acoustic model (AA AE AH ... ZH):
// one table for its English mnemonics, one for its IPA of any language. pronunciation.h builds
// readings of whole words on these.
#include <optional>
#include <string>
#include <string_view>

namespace brimlow::pocketsphinx {

// espeak-ng mnemonics of one word, phonemes separated by '|' and words by spaces, with stress
// marks (for example "k|j|'u:|b|3|n|,i:|t|s") → model phones ("K Y UW B ER N IY T S").
// Nothing when a phoneme has no counterpart in the table.
std::optional<std::string> phonesFromEspeak(std::string_view mnemonics);
// The same for espeak-ng's IPA output of any language ("θ|a|n|d|ˈi|w|e" → "TH AA N D IY W EY").
std::optional<std::string> phonesFromIpa(std::string_view ipa);

}  // namespace brimlow::pocketsphinx
