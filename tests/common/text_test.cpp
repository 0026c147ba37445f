// The shared text helpers: ASCII lower case and word tokens, UTF-8 left as it is.
#include "support/text.h"

#include <gtest/gtest.h>

namespace brimlow::common {
namespace {

using Words = std::vector<std::string>;

TEST(Lowercased, LowersAsciiLettersOnly) {
  EXPECT_EQ(lowercased("Dictation IS Disabled"), "dictation is disabled");
  EXPECT_EQ(lowercased("A-Z, 0-9: [@`{]"), "a-z, 0-9: [@`{]");
  EXPECT_EQ(lowercased("ÄÖÜ É Ω"), "ÄÖÜ É Ω");  // bytes of UTF-8 are left as they are
  EXPECT_EQ(lowercased(""), "");
}

TEST(WordTokens, AnythingButLettersDigitsApostrophesAndNonAsciiSeparates) {
  EXPECT_EQ(wordTokens("Don't stop, Kanban-board!"), (Words{"Don't", "stop", "Kanban", "board"}));
  EXPECT_EQ(wordTokens("  read(2)\tand\nv1.5  "), (Words{"read", "2", "and", "v1", "5"}));
  EXPECT_EQ(wordTokens("café über"), (Words{"café", "über"}));
  EXPECT_EQ(wordTokens("日本語 テスト"), (Words{"日本語", "テスト"}));
  EXPECT_EQ(wordTokens(""), Words{});
  EXPECT_EQ(wordTokens(" ,.;- "), Words{});
  EXPECT_EQ(wordTokens("'"), Words{"'"});
}

TEST(LowercasedWordTokens, AreTheTokensOfTheLowercasedText) {
  EXPECT_EQ(lowercasedWordTokens("We moved to Kubernetes, didn't we?"),
            (Words{"we", "moved", "to", "kubernetes", "didn't", "we"}));
  EXPECT_EQ(lowercasedWordTokens("ÉCOLE Ecole"), (Words{"École", "ecole"}));
}

}  // namespace
}  // namespace brimlow::common
