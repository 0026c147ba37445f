// Pronunciations of vocabulary words the dictionary lacks, and the spelling of transcripts.
#include <gtest/gtest.h>

#include <map>

#include "platform/pocketsphinx/pronunciation.h"
#include "platform/pocketsphinx/spelling.h"
#include "platform/pocketsphinx/vocabulary.h"

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

TEST(Vocabulary, EntriesForUnknownWordsCompoundsAndPhrasesAndOneUnigramPerWord) {
  const std::map<std::string, std::string> dictionary = {
      {"pager", "P EY JH ER"}, {"duty", "D UW T IY"}, {"board", "B AO R D"}, {"the", "DH AH"}};
  const KnownPhones known = [&](const std::string& word) -> std::optional<std::string> {
    auto it = dictionary.find(word);
    if (it == dictionary.end()) return std::nullopt;
    return it->second;
  };
  const auto entries =
      vocabularyEntries({"PagerDuty", "OKRs", "the board", "kanban board", "'"}, known);
  std::vector<std::string> words;
  for (const auto& entry : entries) words.push_back(entry.word + " = " + entry.phones);
  // Espeak's guess first, then the two dictionary words joined; a known word's phones as they
  // are; a phrase as one entry of its own, after the entries of any new word in it; "'" has
  // nothing to say and is left out.
  EXPECT_EQ(words,
            (std::vector<std::string>{
                "pagerduty = P AE JH ER D UW T IY", "pagerduty(2) = P EY JH ER D UW T IY",
                "okrs = OW K EY AA R Z", "vocabulary:the_board = DH AH B AO R D",
                "kanban = K AE N B AH N", "vocabulary:kanban_board = K AE N B AH N B AO R D"}));
  EXPECT_EQ(transcriptWord("vocabulary:kanban_board"), "kanban board");
  EXPECT_EQ(transcriptWord("pagerduty(2)"), "pagerduty");
  EXPECT_EQ(transcriptWord("<sil>"), "");
  // Alternates share their word's unigram: pagerduty, okrs, the two phrases, kanban, <s>, </s>.
  EXPECT_NE(unigramArpa(entries).find("ngram 1=7\n"), std::string::npos);
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
