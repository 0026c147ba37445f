#include "support/text.h"

namespace brimlow::common {

namespace {

char lowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isWordByte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '\'' ||
         u >= 0x80;
}

}  // namespace

std::string lowercased(std::string text) {
  for (char& c : text) c = lowerAscii(c);
  return text;
}

std::vector<std::string> wordTokens(std::string_view text) {
  std::vector<std::string> out;
  size_t begin = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && isWordByte(text[i])) continue;
    if (i > begin) out.emplace_back(text.substr(begin, i - begin));
    begin = i + 1;
  }
  return out;
}

std::vector<std::string> lowercasedWordTokens(std::string_view text) {
  auto out = wordTokens(text);
  for (auto& word : out) word = lowercased(std::move(word));
  return out;
}

}  // namespace brimlow::common
