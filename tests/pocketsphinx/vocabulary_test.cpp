// Pronunciations of vocabulary words the dictionary lacks, and the spelling of transcripts.
#include <gtest/gtest.h>

#include "platform/pocketsphinx/pronunciation.h"
#include "platform/pocketsphinx/spelling.h"

namespace brimlow::pocketsphinx {
namespace {

TEST(Pronunciation, EspeakPhonemesBecomeModelPhones) {
  // espeak-ng's en-us output for kubernetes, jira, terraform, nginx, onboarding, button.
  EXPECT_EQ(phonesFromEspeak("k|j|'u:|b|3|n|,i:|t|s"), "K Y UW B ER N IY T S");
  EXPECT_EQ(phonesFromEspeak("dZ|'i@|r|@"), "JH IY R AH");
  EXPECT_EQ(phonesFromEspeak("t|'E|r|a#|f|,O@|m"), "T EH R AH F AO R M");
  EXPECT_EQ(phonesFromEspeak("'E|n|dZ|I|n ,E|k|s"), "EH N JH IH N EH K S");
  EXPECT_EQ(phonesFromEspeak("'0|n|b|o@|d|I|N"), "AA N B AO R D IH NG");
  EXPECT_EQ(phonesFromEspeak("b|'V|?|n-"), "B AH AH N");
  // A pause or a palatalisation mark is no phone; an unknown phoneme fails the whole word.
  EXPECT_EQ(phonesFromEspeak(",eI|p|,i:|;|'aI|_:"), "EY P IY AY");
  EXPECT_EQ(phonesFromEspeak("k|Q7|s"), std::nullopt);
  EXPECT_EQ(phonesFromEspeak(""), std::nullopt);
}

TEST(Pronunciation, AcronymsAreSpelledAndOtherWordsGoThroughEspeak) {
  EXPECT_TRUE(isAcronym("OKRs"));
  EXPECT_TRUE(isAcronym("API"));
  EXPECT_FALSE(isAcronym("DevOps"));
  EXPECT_FALSE(isAcronym("A"));
  EXPECT_EQ(spelledLetters("OKRs"), "OW K EY AA R Z");
  EXPECT_EQ(spelledLetters("SQL"), "EH S K Y UW EH L");
  EXPECT_EQ(guessPronunciations("OKRs"), std::vector<std::string>{"OW K EY AA R Z"});
  EXPECT_EQ(guessPronunciations("Kubernetes"), std::vector<std::string>{"K Y UW B ER N IY T S"});
  // Nothing to say: skipped by the caller.
  EXPECT_TRUE(guessPronunciations("'").empty());
}

TEST(Spelling, VocabularyTermsPronounAndFirstLetter) {
  const std::vector<std::string> vocabulary = {"Kubernetes",   "OKRs",   "nginx",
                                               "kanban board", "DevOps", " Priya Nakamura "};
  EXPECT_EQ(spellTranscript("we moved to kubernetes and i think it works", vocabulary),
            "We moved to Kubernetes and I think it works");
  EXPECT_EQ(spellTranscript("nginx is slow so i'm asking priya nakamura", vocabulary),
            "nginx is slow so I'm asking Priya Nakamura");
  EXPECT_EQ(spellTranscript("the okrs of devops on the kanban board", vocabulary),
            "The OKRs of DevOps on the kanban board");
  // Only whole words and whole terms; nothing else changes.
  EXPECT_EQ(spellTranscript("kanban boards in iowa", vocabulary), "Kanban boards in iowa");
  EXPECT_EQ(spellTranscript("go forward ten meters", {}), "Go forward ten meters");
  EXPECT_EQ(spellTranscript("", vocabulary), "");
}

}  // namespace
}  // namespace brimlow::pocketsphinx
