#include "platform/pocketsphinx/spelling.h"

#include <algorithm>
#include <cctype>

#include "common/text.h"

namespace brimlow::pocketsphinx {
namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string spellTranscript(std::string_view text, const std::vector<std::string>& vocabulary) {
  std::vector<std::string> words;
  for (size_t at = 0; at <= text.size();) {
    size_t end = text.find(' ', at);
    if (end == std::string_view::npos) end = text.size();
    if (end > at) words.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  struct Term {
    std::vector<std::string> words;
    std::string_view spelling;
  };
  std::vector<Term> terms;
  for (const auto& phrase : vocabulary) {
    auto termWords = common::lowercasedWordTokens(phrase);
    if (!termWords.empty()) terms.push_back({std::move(termWords), trimmed(phrase)});
  }
  // The longest term wins where terms overlap ("kanban board" before "kanban").
  std::stable_sort(terms.begin(), terms.end(),
                   [](const Term& a, const Term& b) { return a.words.size() > b.words.size(); });

  std::string out;
  bool termFirst = false;
  for (size_t i = 0; i < words.size();) {
    if (!out.empty()) out += ' ';
    const Term* match = nullptr;
    for (const auto& term : terms) {
      if (term.words.size() > words.size() - i) continue;
      bool same = true;
      for (size_t k = 0; same && k < term.words.size(); ++k) {
        same = common::lowercased(words[i + k]) == term.words[k];
      }
      if (same) {
        match = &term;
        break;
      }
    }
    if (match) {
      if (i == 0) termFirst = true;
      out += match->spelling;
      i += match->words.size();
      continue;
    }
    std::string word = words[i++];
    // The pronoun, also in "i'm", "i'll", "i've", "i'd".
    if (word == "i" || word.starts_with("i'")) word[0] = 'I';
    out += word;
  }
  if (!termFirst && !out.empty() && std::islower(static_cast<unsigned char>(out[0])))
    out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
  return out;
}

}  // namespace brimlow::pocketsphinx
