#include "protocol/helper_commands.h"

#include <gtest/gtest.h>

namespace brimlow::stt {
namespace {

TEST(DecodeHelperCommand, TypeOnlyAndFullAudioCommand) {
  auto ping = decodeHelperCommand(R"({"type":"ping"})");
  ASSERT_TRUE(ping);
  EXPECT_EQ(ping->type, "ping");
  EXPECT_FALSE(ping->sessionId || ping->source || ping->locale || ping->vocabulary ||
               ping->sequence || ping->capturedAt || ping->pcmBase64 || ping->suppressed ||
               ping->sentAt);

  auto audio = decodeHelperCommand(
      R"({"type":"audio","sessionId":"s","source":"remote","sequence":3,"capturedAt":1700000000000,)"
      R"("pcmBase64":"AAA=","level":0.5,"extra":{"x":[1]}})");
  ASSERT_TRUE(audio) << audio.error();
  EXPECT_EQ(audio->source, AudioSource::remote);
  EXPECT_EQ(audio->sequence, 3);
  EXPECT_DOUBLE_EQ(*audio->capturedAt, 1700000000000.0);  // an integer decodes as a double
  EXPECT_EQ(audio->pcmBase64, "AAA=");
}

TEST(DecodeHelperCommand, NullCountsAsAbsent) {
  auto command = decodeHelperCommand(R"({"type":"audio","sessionId":null,"source":null})");
  ASSERT_TRUE(command);
  EXPECT_FALSE(command->sessionId);
  EXPECT_FALSE(command->source);
}

TEST(DecodeHelperCommand, SequenceMustBeAWholeSigned64BitNumber) {
  EXPECT_EQ(decodeHelperCommand(R"({"type":"a","sequence":-9223372036854775808})")->sequence,
            INT64_MIN);
  EXPECT_EQ(decodeHelperCommand(R"({"type":"a","sequence":3.0})")->sequence, 3);
  for (const char* bad :
       {R"({"type":"a","sequence":3.5})", R"({"type":"a","sequence":"3"})",
        R"({"type":"a","sequence":9223372036854775808})", R"({"type":"a","sequence":1e300})"}) {
    EXPECT_FALSE(decodeHelperCommand(bad)) << bad;
  }
}

TEST(DecodeHelperCommand, WrongTypesFailTheWholeLine) {
  for (const char* bad : {
           R"({"type":"a","sessionId":5})",
           R"({"type":"a","suppressed":1})",
           R"({"type":"a","suppressed":"true"})",
           R"({"type":"a","echoCancellation":"false"})",
           R"({"type":"a","vocabulary":["a",1]})",
           R"({"type":"a","vocabulary":"a"})",
           R"({"type":"a","capturedAt":"1"})",
           R"({"type":"a","source":"Self"})",
           R"({"type":"a","source":" self"})",
           R"({"type":5})",
           R"({"sessionId":"s","source":"self"})",
           R"([{"type":"ping"}])",
           R"("ping")",
           R"({"type":"ping")",
           "{\"type\":\"ping\",\"sessionId\":\"\xff\"}",
       }) {
    auto decoded = decodeHelperCommand(bad);
    EXPECT_FALSE(decoded) << bad;
    if (!decoded) {
      EXPECT_FALSE(decoded.error().empty());
    }
  }
}

TEST(AudioSourceNames, RawValuesAreExactAndOrdered) {
  EXPECT_STREQ(toString(kAllAudioSources[0]), "remote");
  EXPECT_STREQ(toString(kAllAudioSources[1]), "self");
  EXPECT_EQ(audioSourceFromString("self"), AudioSource::selfAudio);
  EXPECT_FALSE(audioSourceFromString("selfAudio"));
  EXPECT_FALSE(audioSourceFromString("REMOTE"));
}

}  // namespace
}  // namespace brimlow::stt
