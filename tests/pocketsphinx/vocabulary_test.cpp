// Pronunciations of vocabulary words the dictionary lacks, and the spelling of transcripts.
#include <gtest/gtest.h>

#include <map>

#include "engines/pocketsphinx/pronunciation.h"
#include "engines/pocketsphinx/spelling.h"
#include "engines/pocketsphinx/vocabulary.h"

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

TEST(Pronunciation, IpaOfOtherLanguagesBecomesModelPhones) {
  // espeak-ng's Swahili IPA for oluwaseun, leilani, wojciech; the longest symbol first, two
  // vowels English says as one merged, marks dropped, an unknown symbol fails the word.
  EXPECT_EQ(phonesFromIpa("ˌo|l|u|w|a|s|ˈe|u|n"), "OW L UW W AA S EY UW N");
  EXPECT_EQ(phonesFromIpa("l|ˌe|i|l|ˈa|n|i"), "L EY L AA N IY");
  EXPECT_EQ(phonesFromIpa("w|o|ɟ|k|ˈi|e|tʃ"), "W OW JH K IY EY CH");
  EXPECT_EQ(phonesFromIpa("k|ǂ|s"), std::nullopt);
}

namespace {
const KnownPhones kDictionary = [](const std::string& word) -> std::optional<std::string> {
  static const std::map<std::string, std::string> words = {
      {"pager", "P EY JH ER"},     {"duty", "D UW T IY"}, {"board", "B AO R D"}, {"the", "DH AH"},
      {"graph", "G R AE F"},       {"i", "AY"},           {"phone", "F OW N"},   {"mac", "M AE K"},
      {"siobhan", "SH AW B AA N"}, {"byrne", "B ER N"}};
  auto it = words.find(word);
  if (it == words.end()) return std::nullopt;
  return it->second;
};
}  // namespace

TEST(Pronunciation, AcronymsCompoundsAndNamesAreSaidAsPeopleSayThem) {
  EXPECT_TRUE(isAcronym("OKRs"));
  EXPECT_TRUE(isAcronym("API"));
  EXPECT_FALSE(isAcronym("DevOps"));
  EXPECT_FALSE(isAcronym("A"));
  EXPECT_EQ(spelledLetters("OKRs"), "OW K EY AA R Z");
  EXPECT_EQ(spelledLetters("SQL"), "EH S K Y UW EH L");
  EXPECT_EQ(caseParts("GraphQL"), (std::vector<std::string>{"Graph", "QL"}));
  EXPECT_EQ(caseParts("XMLHttpRequest"), (std::vector<std::string>{"XML", "Http", "Request"}));
  EXPECT_EQ(caseParts("iPhone"), (std::vector<std::string>{"i", "Phone"}));
  EXPECT_EQ(asciiFolded("Björn Łukasz Inés"), "Bjorn Lukasz Ines");

  EXPECT_EQ(guessPronunciations("OKRs", kDictionary), std::vector<std::string>{"OW K EY AA R Z"});
  // Four letters or more with a vowel: also said as a word.
  EXPECT_EQ(guessPronunciations("JSON", kDictionary),
            (std::vector<std::string>{"JH EY EH S OW EH N", "JH EY S AA N"}));
  // Capitals after a word part are letters; English rules as the alternate.
  EXPECT_EQ(guessPronunciations("GraphQL", kDictionary),
            (std::vector<std::string>{"G R AE F K Y UW EH L", "G R AE F K AH L"}));
  EXPECT_EQ(guessPronunciations("macOS", kDictionary)[0], "M AE K OW EH S");
  EXPECT_EQ(guessPronunciations("Kubernetes", kDictionary)[0], "K Y UW B ER N IY T S");
  // A name by English rules, then as written: "th" is T, a closed "e" EH, an "h" before a
  // consonant silent, an accent read as its letter.
  EXPECT_EQ(guessPronunciations("Thandiwe", kDictionary),
            (std::vector<std::string>{"T HH AE N D IH W", "T AA N D IY W EY"}));
  EXPECT_EQ(guessPronunciations("Mehmet", kDictionary),
            (std::vector<std::string>{"M EY M IH T", "M EH M EH T"}));
  EXPECT_EQ(guessPronunciations("Inés", kDictionary),
            (std::vector<std::string>{"IH N IY Z", "IY N EH S"}));
  EXPECT_EQ(nameReadings("Siobhan")[0], "SH IH V AO N");
  // Nothing to say: skipped by the caller.
  EXPECT_TRUE(guessPronunciations("'", kDictionary).empty());
  EXPECT_TRUE(guessPronunciations("Дмитрий", kDictionary).empty());
}

TEST(Vocabulary, EntriesForUnknownWordsCompoundsAndPhrasesAndOneUnigramPerWord) {
  const auto entries = vocabularyEntries(
      {"PagerDuty", "OKRs", "the board", "Kanban Board", "'", "Siobhan Byrne"}, kDictionary);
  std::vector<std::string> words;
  for (const auto& entry : entries) words.push_back(entry.word + " = " + entry.phones);
  // The compound by its parts first, then espeak's guess; a known word's phones as they are; a
  // phrase as one entry of its own, after the entries of any new word in it; "'" has nothing to
  // say and is left out; the names of a full name that the dictionary has also on their own,
  // with their other readings ("Board" is an ordinary word).
  EXPECT_EQ(words, (std::vector<std::string>{
                       "pagerduty = P EY JH ER D UW T IY", "pagerduty(2) = P AE JH ER D UW T IY",
                       "okrs = OW K EY AA R Z", "vocabulary:the_board = DH AH B AO R D",
                       "kanban = K AE N B AH N", "kanban(2) = K AA N B AA N",
                       "vocabulary:kanban_board = K AE N B AH N B AO R D",
                       "vocabulary:siobhan_byrne = SH AW B AA N B ER N",
                       "vocabulary:siobhan = SH AW B AA N", "vocabulary:siobhan(2) = SH IH V AO N",
                       "vocabulary:siobhan(3) = S IY OW B HH AA N", "vocabulary:byrne = B ER N",
                       "vocabulary:byrne(2) = B AY AH N", "vocabulary:byrne(3) = B Y R N EY"}));
  EXPECT_EQ(transcriptWord("vocabulary:kanban_board"), "kanban board");
  EXPECT_EQ(transcriptWord("pagerduty(2)"), "pagerduty");
  EXPECT_EQ(transcriptWord("<sil>"), "");
  // Alternates share their word's unigram: pagerduty, okrs, kanban, the five phrases, <s>, </s>.
  EXPECT_NE(unigramArpa(entries).find("ngram 1=10\n"), std::string::npos);
}

TEST(Spelling, VocabularyTermsPronounAndFirstLetter) {
  const std::vector<std::string> vocabulary = {"Kubernetes",   "OKRs",   "nginx",
                                               "kanban board", "DevOps", " Priya Nakamura "};
  EXPECT_EQ(spellTranscript("we moved to kubernetes and i think it works", vocabulary, false),
            "We moved to Kubernetes and I think it works");
  EXPECT_EQ(spellTranscript("nginx is slow so i'm asking priya nakamura", vocabulary, false),
            "nginx is slow so I'm asking Priya Nakamura");
  EXPECT_EQ(spellTranscript("the okrs of devops on the kanban board", vocabulary, false),
            "The OKRs of DevOps on the kanban board");
  // Only whole words and whole terms; nothing else changes.
  EXPECT_EQ(spellTranscript("kanban boards in iowa", vocabulary, false, WordList("")),
            "Kanban boards in iowa");
  EXPECT_EQ(spellTranscript("go forward ten meters", {}, false), "Go forward ten meters");
  EXPECT_EQ(spellTranscript("", vocabulary, true), "");
}

TEST(Spelling, ProperNounsTermsHeardAsPartsAndEndPunctuationOfFinals) {
  const WordList list(
      "anna\nAnna\nBerlin\nFriday\nmarch\nMarch\nNASA\nAl\nAL\nboard\n"
      "kanban\nsam\nSAM\nSam\n");
  const std::vector<std::string> vocabulary = {"Oluwaseun Adeyemi", "Kanban Board", "iPhone",
                                               "GraphQL",           "AWS",          "nginx"};
  auto spell = [&](std::string_view text, bool isFinal) {
    return spellTranscript(text, vocabulary, isFinal, list);
  };
  // Capitals of words the list has only with capitals, of three letters or more; a name's own
  // words of a longer term; terms the engine heard as their parts or letters.
  EXPECT_EQ(spell("we flew to berlin with anna on friday in march", false),
            "We flew to Berlin with anna on Friday in march");
  EXPECT_EQ(spell("adeyemi uses nasa data with al and sam on the board", false),
            "Adeyemi uses NASA data with al and sam on the board");
  EXPECT_EQ(spell("the i phone calls graph q l on a w s", false),
            "The iPhone calls GraphQL on AWS");
  // A final ends in "?" where a question word, or an auxiliary and its subject, begin it.
  EXPECT_EQ(spell("can you share the graphql schema", true), "Can you share the GraphQL schema?");
  EXPECT_EQ(spell("is oluwaseun adeyemi joining", true), "Is Oluwaseun Adeyemi joining?");
  EXPECT_EQ(spell("does nginx cache it", true), "Does nginx cache it?");
  EXPECT_EQ(spell("where did it go", true), "Where did it go?");
  EXPECT_EQ(spell("why", true), "Why?");
  EXPECT_EQ(spell("what i mean is the cache", true), "What I mean is the cache.");
  EXPECT_EQ(spell("could be the cache", true), "Could be the cache.");
  EXPECT_EQ(spell("we ship on friday", true), "We ship on Friday.");
  EXPECT_EQ(spell("nginx is down", true), "nginx is down.");
}

}  // namespace
}  // namespace brimlow::pocketsphinx
