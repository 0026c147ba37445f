#include "stt-helper/settings.h"

#include <map>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace brimlow::stt {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

Settings settingsOf(std::map<std::string, std::string> variables) {
  return settingsFrom([variables](const char* name) -> const char* {
    auto found = variables.find(name);
    return found == variables.end() ? nullptr : found->second.c_str();
  });
}

TEST(Settings, EmptyEnvironmentGivesTheDefaults) {
  const Settings settings = settingsOf({{"BRIMLOW_LOCALE", ""}, {"BRIMLOW_MAX_DECODERS", "0"}});
  EXPECT_EQ(settings.defaultLocale, "ja-JP");
  EXPECT_EQ(settings.researchLocale, "ja-JP");
  EXPECT_EQ(settings.osVersion, (platform::OsVersion{26, 0, 0}));
  EXPECT_THAT(settings.engine.modelRoots, IsEmpty());
  EXPECT_THAT(settings.engine.decoderArgs, IsEmpty());
  EXPECT_EQ(settings.engine.maxDecoders, 0);
  EXPECT_FALSE(settings.debugLog);
  EXPECT_FALSE(settings.disclaimed);
}

TEST(Settings, EveryVariableReachesItsField) {
  const Settings settings = settingsOf({{"BRIMLOW_LOCALE", "en-US"},
                                        {"BRIMLOW_MODEL_PATH", "/a::/b"},
                                        {"XDG_DATA_HOME", "/xdg"},
                                        {"HOME", "/home/u"},
                                        {"BRIMLOW_MAX_DECODERS", "3"},
                                        {"BRIMLOW_SPHINX_ARGS", " -fwdflat  no "},
                                        {"BRIMLOW_PLATFORM_VERSION", "15.0"},
                                        {"BRIMLOW_STT_DEBUG", "1"},
                                        {"BRIMLOW_DISCLAIMED", "1"}});
  EXPECT_EQ(settings.defaultLocale, "en-US");
  EXPECT_EQ(settings.researchLocale, "en-US");
  EXPECT_THAT(settings.engine.modelRoots, ElementsAre("/a", "/b", "/xdg/brimlow/models"));
  EXPECT_THAT(settings.engine.decoderArgs, ElementsAre("-fwdflat", "no"));
  EXPECT_EQ(settings.engine.maxDecoders, 3);
  EXPECT_EQ(settings.osVersion, (platform::OsVersion{15, 0, 0}));
  EXPECT_TRUE(settings.debugLog);
  EXPECT_TRUE(settings.disclaimed);

  EXPECT_THAT(settingsOf({{"HOME", "/home/u"}}).engine.modelRoots,
              ElementsAre("/home/u/.local/share/brimlow/models"));
  EXPECT_EQ(settingsOf({{"BRIMLOW_RESEARCH_LOCALE", "de-DE"}}).researchLocale, "de-DE");
}

}  // namespace
}  // namespace brimlow::stt
