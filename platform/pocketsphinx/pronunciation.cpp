#include "platform/pocketsphinx/pronunciation.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <cctype>
#include <map>
#include <mutex>

#include "common/text.h"

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

// How each letter is said on its own.
constexpr const char* kLetters[26] = {"EY",
                                      "B IY",
                                      "S IY",
                                      "D IY",
                                      "IY",
                                      "EH F",
                                      "JH IY",
                                      "EY CH",
                                      "AY",
                                      "JH EY",
                                      "K EY",
                                      "EH L",
                                      "EH M",
                                      "EH N",
                                      "OW",
                                      "P IY",
                                      "K Y UW",
                                      "AA R",
                                      "EH S",
                                      "T IY",
                                      "Y UW",
                                      "V IY",
                                      "D AH B AH L Y UW",
                                      "EH K S",
                                      "W AY",
                                      "Z IY"};

bool isStressMark(char c) {
  return c == '\'' || c == ',' || c == '%' || c == '=';
}

std::mutex& espeakMutex() {
  static auto* m = new std::mutex;  // never destroyed: callers may run while the process exits
  return *m;
}

// Initialises espeak-ng once (with its en-us voice); false when its data cannot be loaded.
// The espeak_ng_* calls report failures as values, where espeak_Initialize would print them.
bool espeakReadyLocked() {
  static int state = 0;  // 0 not tried, 1 ready, -1 failed
  if (state != 0) return state > 0;
  state = -1;
  espeak_ng_InitializePath(nullptr);
  espeak_ng_ERROR_CONTEXT context = nullptr;
  if (espeak_ng_Initialize(&context) != ENS_OK) {
    espeak_ng_ClearErrorContext(&context);
    return false;
  }
  if (espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr) != ENS_OK) return false;
  if (espeak_ng_SetVoiceByName("en-us") != ENS_OK) return false;
  state = 1;
  return true;
}

// espeak-ng's mnemonics for `text`, phonemes separated by '|', words by spaces.
std::optional<std::string> espeakMnemonics(const std::string& text) {
  std::lock_guard lock(espeakMutex());
  if (!espeakReadyLocked()) return std::nullopt;
  std::string out;
  const void* cursor = text.c_str();
  while (cursor) {
    const char* phonemes = espeak_TextToPhonemes(&cursor, espeakCHARS_UTF8, '|' << 8);
    if (!phonemes) break;
    if (*phonemes) {
      if (!out.empty()) out += ' ';
      out += phonemes;
    }
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

bool isAcronym(std::string_view word) {
  if (word.size() > 2 && word.back() == 's') word.remove_suffix(1);
  if (word.size() < 2) return false;
  for (char c : word)
    if (!std::isupper(static_cast<unsigned char>(c))) return false;
  return true;
}

std::optional<std::string> spelledLetters(std::string_view acronym) {
  std::string phones;
  for (size_t i = 0; i < acronym.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(acronym[i]);
    if (!std::isalpha(c) || c >= 0x80) return std::nullopt;
    if (!phones.empty()) phones += ' ';
    // A plural "s" after capitals is the plural ending, not the letter.
    if (c == 's' && i + 1 == acronym.size() && i > 0)
      phones += "Z";
    else
      phones += kLetters[std::toupper(c) - 'A'];
  }
  if (phones.empty()) return std::nullopt;
  return phones;
}

std::vector<std::string> guessPronunciations(const std::string& word) {
  std::vector<std::string> out;
  if (isAcronym(word)) {
    if (auto letters = spelledLetters(word)) out.push_back(std::move(*letters));
    return out;
  }
  if (auto mnemonics = espeakMnemonics(common::lowercased(word)))
    if (auto phones = phonesFromEspeak(*mnemonics)) out.push_back(std::move(*phones));
  return out;
}

}  // namespace brimlow::pocketsphinx
