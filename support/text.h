#pragma once
// Byte-wise text helpers shared by the helper, the platform layers and the benchmarks. They
// know ASCII only: every byte of 0x80 and above (all of UTF-8 beyond ASCII) is left as it is,
// whatever the locale.
#include <string>
#include <string_view>
#include <vector>

namespace brimlow::common {

// `text` with the ASCII letters A-Z in lower case.
std::string lowercased(std::string text);

// The words of `text` as written: runs of ASCII letters and digits, apostrophes and bytes of
// 0x80 and above; every other byte separates. "Don't stop, Kanban-board!" gives "Don't",
// "stop", "Kanban", "board".
std::vector<std::string> wordTokens(std::string_view text);

// The words of `text` in lower case: wordTokens(lowercased(text)).
std::vector<std::string> lowercasedWordTokens(std::string_view text);

}  // namespace brimlow::common
