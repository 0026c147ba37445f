#pragma once
#include <string>
#include <string_view>

namespace brimlow::stt {

// Removes white space and line breaks at both ends of UTF-8 text: every space separator
// (U+0020, U+00A0, U+1680, U+2000..U+200A, U+202F, U+205F, U+3000), U+2028, U+2029, tab,
// U+000A..U+000D and U+0085. Invalid UTF-8 is left as it is.
std::string trimWhitespaceAndNewlines(std::string_view text);
// Whether trimWhitespaceAndNewlines(text) would be empty, without copying the text.
bool isBlank(std::string_view text);

}  // namespace brimlow::stt
