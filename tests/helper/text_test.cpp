#include "stt-helper/text.h"

#include <gtest/gtest.h>

namespace brimlow::stt {
namespace {

TEST(TrimWhitespaceAndNewlines, TrimsUnicodeSpacesAndLineBreaksAtBothEndsOnly) {
  EXPECT_EQ(trimWhitespaceAndNewlines(" \t\r\n hello world \n"), "hello world");
  EXPECT_EQ(trimWhitespaceAndNewlines("\u3000こんにちは\u3000"), "こんにちは");
  EXPECT_EQ(trimWhitespaceAndNewlines("\u00a0\u2028\u2029\u0085x\u202f\u205f\u1680\u200a"), "x");
  EXPECT_EQ(trimWhitespaceAndNewlines("a\u3000b"), "a\u3000b");
  EXPECT_EQ(trimWhitespaceAndNewlines(" \u3000 \n"), "");
  EXPECT_EQ(trimWhitespaceAndNewlines("\u200bx"), "\u200bx");  // zero-width space is not Z
  EXPECT_EQ(trimWhitespaceAndNewlines("\xff "), "\xff");       // invalid UTF-8 survives
}

}  // namespace
}  // namespace brimlow::stt
