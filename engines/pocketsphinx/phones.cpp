#include "engines/pocketsphinx/phones.h"

#include <algorithm>
#include <map>
#include <vector>

namespace brimlow::pocketsphinx {
namespace {

// espeak-ng's English phonemes (en-us voice) → the model's phones. Variants that differ only in
// length or in a vowel the model does not distinguish share a row; a glottal stop has no phone.
// Long only because it is the whole table, kept in one piece so that it can be read as one.
const std::map<std::string_view, std::string_view>& phoneTable() {
  static const std::map<std::string_view, std::string_view> table = {
      // consonants
      {"p", "P"},
      {"b", "B"},
      {"t", "T"},
      {"t#", "T"},
      {"t2", "T"},
      {"d", "D"},
      {"d#", "D"},
      {"k", "K"},
      {"g", "G"},
      {"f", "F"},
      {"v", "V"},
      {"T", "TH"},
      {"D", "DH"},
      {"s", "S"},
      {"z", "Z"},
      {"z#", "Z"},
      {"S", "SH"},
      {"Z", "ZH"},
      {"h", "HH"},
      {"tS", "CH"},
      {"dZ", "JH"},
      {"m", "M"},
      {"n", "N"},
      {"N", "NG"},
      {"l", "L"},
      {"r", "R"},
      {"j", "Y"},
      {"w", "W"},
      {"x", "K"},
      {"?", ""},
      {"n-", "AH N"},
      {"m-", "AH M"},
      {"l-", "AH L"},
      {"@L", "AH L"},
      {"r-", "ER"},
      // vowels
      {"a", "AE"},
      {"aa", "AE"},
      {"a#", "AH"},
      {"A", "AA"},
      {"A:", "AA"},
      {"A@", "AA R"},
      {"aI", "AY"},
      {"aI@", "AY ER"},
      {"aI3", "AY ER"},
      {"aU", "AW"},
      {"aU@", "AW ER"},
      {"@", "AH"},
      {"@2", "AH"},
      {"@5", "AH"},
      {"3", "ER"},
      {"3:", "ER"},
      {"e", "EH"},
      {"e@", "EH R"},
      {"E", "EH"},
      {"E2", "EH"},
      {"E3", "EH"},
      {"eI", "EY"},
      {"i", "IY"},
      {"i:", "IY"},
      {"i@", "IY"},
      {"i@3", "IH R"},
      {"I", "IH"},
      {"I#", "IH"},
      {"I2", "IH"},
      {"0", "AA"},
      {"0#", "AA"},
      {"O", "AO"},
      {"O:", "AO"},
      {"O2", "AO"},
      {"O@", "AO R"},
      {"o@", "AO R"},
      {"oU", "OW"},
      {"OI", "OY"},
      {"U", "UH"},
      {"U@", "UH R"},
      {"u", "UW"},
      {"u:", "UW"},
      {"V", "AH"},
  };
  return table;
}

// espeak-ng's IPA, of any language, → the model's phones, for names read as written. Vowels
// go to the nearest English ones as English speakers say foreign names ("e" as in "Zeynep" EY,
// "o" OW); sounds English lacks to the nearest it has ("x" HH, "ɲ" N Y). Stress, length, tone and
// other marks are dropped before lookup.
const std::map<std::string_view, std::string_view>& ipaTable() {
  static const std::map<std::string_view, std::string_view> table = {
      {"a", "AA"},  {"ɑ", "AA"},  {"ɐ", "AH"},   {"æ", "AE"},   {"e", "EY"},  {"ɛ", "EH"},
      {"ə", "AH"},  {"ɚ", "ER"},  {"ɜ", "ER"},   {"i", "IY"},   {"ɪ", "IH"},  {"o", "OW"},
      {"ɔ", "AO"},  {"ʊ", "UH"},  {"u", "UW"},   {"ʌ", "AH"},   {"y", "IY"},  {"ø", "ER"},
      {"œ", "ER"},  {"ɨ", "IH"},  {"ɯ", "UW"},   {"ɒ", "AA"},   {"ɤ", "AH"},  {"aɪ", "AY"},
      {"aʊ", "AW"}, {"eɪ", "EY"}, {"oʊ", "OW"},  {"ɔɪ", "OY"},  {"əʊ", "OW"}, {"p", "P"},
      {"b", "B"},   {"ɓ", "B"},   {"t", "T"},    {"d", "D"},    {"ɗ", "D"},   {"k", "K"},
      {"q", "K"},   {"c", "K"},   {"ɡ", "G"},    {"g", "G"},    {"ɣ", "G"},   {"f", "F"},
      {"ɸ", "F"},   {"v", "V"},   {"β", "V"},    {"ʋ", "V"},    {"θ", "TH"},  {"ð", "DH"},
      {"s", "S"},   {"z", "Z"},   {"ʃ", "SH"},   {"ʂ", "SH"},   {"ɕ", "SH"},  {"ʒ", "ZH"},
      {"ʐ", "ZH"},  {"ʑ", "ZH"},  {"h", "HH"},   {"ɦ", "HH"},   {"x", "HH"},  {"χ", "HH"},
      {"ħ", "HH"},  {"ç", "HH"},  {"tʃ", "CH"},  {"tɕ", "CH"},  {"dʒ", "JH"}, {"dʑ", "JH"},
      {"ɟ", "JH"},  {"ʄ", "JH"},  {"ts", "T S"}, {"dz", "D Z"}, {"m", "M"},   {"n", "N"},
      {"ŋ", "NG"},  {"ɲ", "N Y"}, {"l", "L"},    {"ɫ", "L"},    {"ʎ", "L Y"}, {"r", "R"},
      {"ɾ", "R"},   {"ɹ", "R"},   {"ʁ", "R"},    {"ʀ", "R"},    {"ɽ", "R"},   {"j", "Y"},
      {"w", "W"},   {"ʍ", "W"},   {"ʔ", ""},
  };
  return table;
}

bool isStressMark(char c) {
  return c == '\'' || c == ',' || c == '%' || c == '=';
}

// Marks that carry no phone of their own: stress, length, tone digits, and the combining
// diacritics and modifier letters (U+0300-U+036F, U+02B0-U+02FF) of narrower transcription.
std::string withoutIpaMarks(std::string_view token) {
  std::string out;
  for (size_t i = 0; i < token.size();) {
    const auto c = static_cast<unsigned char>(token[i]);
    const size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    const std::string_view character = token.substr(i, length);
    i += length;
    if (length == 1 && (std::isdigit(c) || c == '-' || c == '\'' || c == ',')) continue;
    if (length == 2) {
      const unsigned code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(character[1]) & 0x3Fu);
      if ((code >= 0x2B0 && code <= 0x2FF) || (code >= 0x300 && code <= 0x36F)) continue;
    }
    out += character;
  }
  return out;
}

// Two vowels in a row that English says as one ("ei" of "Leilani", "ai" of "Kai", "ao" of
// "Paolo").
void mergeDiphthongs(std::vector<std::string_view>& phones) {
  static const std::map<std::pair<std::string_view, std::string_view>, std::string_view> merged = {
      {{"AA", "IY"}, "AY"}, {{"AA", "UW"}, "AW"}, {{"AA", "OW"}, "AW"},
      {{"EY", "IY"}, "EY"}, {{"OW", "IY"}, "OY"}, {{"OW", "UW"}, "OW"}};
  for (size_t i = 0; i + 1 < phones.size(); ++i) {
    if (auto it = merged.find({phones[i], phones[i + 1]}); it != merged.end()) {
      phones[i] = it->second;
      phones.erase(phones.begin() + static_cast<long>(i) + 1);
    }
  }
}

std::string joined(const std::vector<std::string_view>& phones) {
  std::string out;
  for (auto phone : phones) {
    if (phone.empty()) continue;
    if (!out.empty()) out += ' ';
    out += phone;
  }
  return out;
}

}  // namespace

std::optional<std::string> phonesFromEspeak(std::string_view mnemonics) {
  const auto& table = phoneTable();
  std::string phones;
  size_t at = 0;
  while (at < mnemonics.size()) {
    size_t end = mnemonics.find_first_of("| ", at);
    if (end == std::string_view::npos) end = mnemonics.size();
    std::string_view name = mnemonics.substr(at, end - at);
    at = end + 1;
    while (!name.empty() && isStressMark(name.front())) name.remove_prefix(1);
    while (!name.empty() && isStressMark(name.back())) name.remove_suffix(1);
    // ';' marks palatalisation and '_' a pause: neither is a phone.
    if (name.empty() || name == ";" || name.front() == '_') continue;
    auto it = table.find(name);
    if (it == table.end()) return std::nullopt;
    if (it->second.empty()) continue;
    if (!phones.empty()) phones += ' ';
    phones += it->second;
  }
  if (phones.empty()) return std::nullopt;
  return phones;
}

std::optional<std::string> phonesFromIpa(std::string_view ipa) {
  const auto& table = ipaTable();
  std::vector<std::string_view> phones;
  size_t at = 0;
  while (at < ipa.size()) {
    size_t end = ipa.find_first_of("| ", at);
    if (end == std::string_view::npos) end = ipa.size();
    const std::string token = withoutIpaMarks(ipa.substr(at, end - at));
    at = end + 1;
    // The longest symbol of the table first: "tʃ" before "t".
    for (size_t i = 0; i < token.size();) {
      size_t length = std::min<size_t>(token.size() - i, 4);
      auto it = table.end();
      for (; length > 0 &&
             (it = table.find(std::string_view(token).substr(i, length))) == table.end();
           --length) {
      }
      if (length == 0) return std::nullopt;
      phones.push_back(it->second);
      i += length;
    }
  }
  std::erase(phones, std::string_view());
  mergeDiphthongs(phones);
  if (phones.empty()) return std::nullopt;
  return joined(phones);
}

}  // namespace brimlow::pocketsphinx
