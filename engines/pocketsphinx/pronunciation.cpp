#include "engines/pocketsphinx/pronunciation.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <iconv.h>
#include <locale.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "support/text.h"

namespace brimlow::pocketsphinx {
namespace {

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

bool isUpper(char c) {
  return c >= 'A' && c <= 'Z';
}
bool isLower(char c) {
  return c >= 'a' && c <= 'z';
}

std::mutex& espeakMutex() {
  static auto* m = new std::mutex;  // never destroyed: callers may run while the process exits
  return *m;
}

// Initialises espeak-ng once; false when its data cannot be loaded. The espeak_ng_* calls report
// failures as values, where espeak_Initialize would print them.
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
  state = 1;
  return true;
}

// espeak-ng's reading of `text` with `voice` ("en-us", "sw"): mnemonics, or IPA with `ipa`;
// phonemes separated by '|', words by spaces. Switching voices costs about 0.1 ms.
std::optional<std::string> espeakPhonemes(const std::string& text, const char* voice, bool ipa) {
  std::lock_guard lock(espeakMutex());
  if (!espeakReadyLocked() || espeak_ng_SetVoiceByName(voice) != ENS_OK) return std::nullopt;
  std::string out;
  const void* cursor = text.c_str();
  while (cursor) {
    const char* phonemes =
        espeak_TextToPhonemes(&cursor, espeakCHARS_UTF8, (ipa ? 0x02 : 0) | ('|' << 8));
    if (!phonemes) break;
    if (*phonemes) {
      if (!out.empty()) out += ' ';
      out += phonemes;
    }
  }
  return out;
}

bool isTitleCase(std::string_view word) {
  if (word.size() < 2 || !isUpper(word[0])) return false;
  return std::all_of(word.begin() + 1, word.end(), [](char c) { return isLower(c) || c == '\''; });
}

void addOnce(std::vector<std::string>& out, std::optional<std::string> phones) {
  if (phones && std::find(out.begin(), out.end(), *phones) == out.end())
    out.push_back(std::move(*phones));
}

std::optional<std::string> englishReading(const std::string& word) {
  auto mnemonics = espeakPhonemes(common::lowercased(word), "en-us", false);
  return mnemonics ? phonesFromEspeak(*mnemonics) : std::nullopt;
}

bool isVowelPhone(const std::string& phone) {
  return std::string_view("AEIOU").find(phone[0]) != std::string_view::npos;
}

// How English speakers say the letters of a name that Swahili's rules read as written.
void asNamesAreSaid(std::vector<std::string>& said) {
  for (size_t i = 0; i < said.size(); ++i) {
    // "th" and "dh" of names are aspirated T and D (Thandiwe, Dhruv), not the English sounds.
    if (said[i] == "TH") said[i] = "T";
    if (said[i] == "DH") said[i] = "D";
    // An "h" that no vowel follows is not said (Mehmet, Ahmed).
    if (said[i] == "HH" && i > 0 && (i + 1 == said.size() || !isVowelPhone(said[i + 1]))) {
      said.erase(said.begin() + static_cast<long>(i--));
      continue;
    }
    // An "e" that a syllable's consonants close is said EH ("Inés", "Mehmet"), an open one EY
    // ("Mateus", "Kwame"); a "y" after it belongs to the vowel ("Zeynep").
    if (said[i] == "EY") {
      size_t consonants = 0, k = i + 1;
      if (k < said.size() && said[k] == "Y") ++k;
      for (; k < said.size() && !isVowelPhone(said[k]); ++k) ++consonants;
      if (consonants >= 2 || (consonants == 1 && k == said.size())) said[i] = "EH";
    }
  }
  // A final "ng" is one sound (Ming, Wang), where Swahili says "ng g".
  if (said.size() >= 2 && said.back() == "G" && said[said.size() - 2] == "NG") said.pop_back();
}

// A name read letter for sound: Swahili's rules read Latin letters as written, with the five
// vowels most languages have, and give "Oluwaseun" OW L UW W AA S EY UW N where English rules
// give AA L UW W EY S AH N. Most names from outside English are said so by people who know
// their bearer.
std::optional<std::string> writtenReading(const std::string& word) {
  std::string written = common::lowercased(word);
  // An "x" before a vowel begins names as "sh" in most spellings that have it (Xiaoming, Ximena,
  // Xavi); Swahili has no such "x" and says "k s".
  if (written.size() > 1 && written[0] == 'x' &&
      std::string_view("aeiou").find(written[1]) != std::string_view::npos)
    written.replace(0, 1, "sh");
  auto ipa = espeakPhonemes(written, "sw", true);
  auto phones = ipa ? phonesFromIpa(*ipa) : std::nullopt;
  if (!phones) return std::nullopt;
  auto said = common::wordTokens(*phones);
  asNamesAreSaid(said);
  std::string out;
  for (const auto& phone : said) out += (out.empty() ? "" : " ") + phone;
  return out;
}

// A mixed-case compound said by its parts: capitals as letters, word parts as the dictionary
// or English rules say them.
std::optional<std::string> partsReading(const std::string& word, const KnownPhones& known) {
  const auto parts = caseParts(word);
  if (parts.size() < 2) return std::nullopt;
  std::string phones;
  for (const auto& part : parts) {
    std::optional<std::string> said;
    if (isUpper(part.back()))
      said = spelledLetters(part);
    else if (!(said = known ? known(common::lowercased(part)) : std::nullopt))
      said = englishReading(part);
    if (!said) return std::nullopt;
    phones += (phones.empty() ? "" : " ") + *said;
  }
  return phones;
}

}  // namespace

bool isAcronym(std::string_view word) {
  if (word.size() > 2 && word.back() == 's') word.remove_suffix(1);
  if (word.size() < 2) return false;
  return std::all_of(word.begin(), word.end(), isUpper);
}

std::optional<std::string> spelledLetters(std::string_view acronym) {
  std::string phones;
  for (size_t i = 0; i < acronym.size(); ++i) {
    const char c = acronym[i];
    if (!isUpper(c) && !isLower(c)) return std::nullopt;
    if (!phones.empty()) phones += ' ';
    // A plural "s" after capitals is the plural ending, not the letter.
    if (c == 's' && i + 1 == acronym.size() && i > 0)
      phones += "Z";
    else
      phones += kLetters[std::toupper(static_cast<unsigned char>(c)) - 'A'];
  }
  if (phones.empty()) return std::nullopt;
  return phones;
}

std::vector<std::string> caseParts(std::string_view word) {
  std::vector<std::string> parts;
  size_t begin = 0;
  for (size_t i = 1; i < word.size(); ++i) {
    const bool lowerThenUpper = isLower(word[i - 1]) && isUpper(word[i]);
    const bool capitalsThenWord =
        isUpper(word[i - 1]) && isUpper(word[i]) && i + 1 < word.size() && isLower(word[i + 1]);
    if (lowerThenUpper || capitalsThenWord) {
      parts.emplace_back(word.substr(begin, i - begin));
      begin = i;
    }
  }
  parts.emplace_back(word.substr(begin));
  return parts;
}

std::string asciiFolded(std::string_view text) {
  if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; }))
    return std::string(text);
  // glibc transliterates by the tables of the calling thread's locale; C.UTF-8 has them for Latin
  // letters. Set for this thread only, so the process's own locale is never touched.
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (!utf8) return {};
  const locale_t previous = uselocale(utf8);
  std::string out;
  if (iconv_t cd = iconv_open("ASCII//TRANSLIT", "UTF-8"); cd != reinterpret_cast<iconv_t>(-1)) {
    std::string in(text);
    std::vector<char> buffer(in.size() * 4 + 4);
    char* from = in.data();
    size_t fromLeft = in.size();
    char* to = buffer.data();
    size_t toLeft = buffer.size();
    if (iconv(cd, &from, &fromLeft, &to, &toLeft) != static_cast<size_t>(-1))
      out.assign(buffer.data(), to);
    iconv_close(cd);
  }
  uselocale(previous);
  std::erase(out, '?');  // no transliteration
  return out;
}

std::vector<std::string> guessPronunciations(const std::string& word, const KnownPhones& known) {
  std::vector<std::string> out;
  const std::string ascii = asciiFolded(word);
  if (ascii.empty()) return out;
  if (isAcronym(ascii)) {
    addOnce(out, spelledLetters(ascii));
    const std::string_view letters(ascii.data(), ascii.size() - (ascii.back() == 's'));
    if (letters.size() >= 4 && letters.find_first_of("AEIOUY") != std::string_view::npos)
      addOnce(out, englishReading(ascii));
    return out;
  }
  addOnce(out, partsReading(ascii, known));
  addOnce(out, englishReading(ascii));
  if (isTitleCase(ascii)) addOnce(out, writtenReading(ascii));
  return out;
}

std::vector<std::string> nameReadings(const std::string& word) {
  std::vector<std::string> out;
  const std::string ascii = asciiFolded(word);
  if (!isTitleCase(ascii)) return out;
  addOnce(out, englishReading(ascii));
  addOnce(out, writtenReading(ascii));
  return out;
}

}  // namespace brimlow::pocketsphinx
