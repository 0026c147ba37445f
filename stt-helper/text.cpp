#include "stt-helper/text.h"

#include <cstdint>

namespace brimlow::stt {

namespace {

bool isTrimmed(uint32_t c) {
  return c == 0x20 || c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Decodes the code point starting at `i`; its length in bytes, or 0 when invalid.
size_t decodeAt(std::string_view s, size_t i, uint32_t& c) {
  auto b = static_cast<unsigned char>(s[i]);
  size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  c = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
  for (size_t k = 1; k < n; ++k) {
    auto cont = static_cast<unsigned char>(s[i + k]);
    if ((cont >> 6) != 0x2) return 0;
    c = (c << 6) | (cont & 0x3F);
  }
  return n;
}

// Start of the code point that ends at `end` (exclusive), or `end` when invalid.
size_t startBefore(std::string_view s, size_t end) {
  size_t i = end;
  for (int k = 0; k < 4 && i > 0; ++k) {
    --i;
    if ((static_cast<unsigned char>(s[i]) >> 6) != 0x2) return i;
  }
  return end;
}

}  // namespace

std::string trimWhitespaceAndNewlines(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    uint32_t c = 0;
    size_t n = decodeAt(text, begin, c);
    if (n == 0 || !isTrimmed(c)) break;
    begin += n;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = startBefore(text, end);
    if (start == end) break;
    uint32_t c = 0;
    size_t n = decodeAt(text, start, c);
    if (n == 0 || start + n != end || !isTrimmed(c)) break;
    end = start;
  }
  return std::string(text.substr(begin, end - begin));
}

bool isBlank(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    uint32_t c = 0;
    size_t n = decodeAt(text, i, c);
    if (n == 0 || !isTrimmed(c)) return false;
    i += n;
  }
  return true;
}

}  // namespace brimlow::stt
