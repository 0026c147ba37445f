// "--health", "--authorize" and "--install-assets" on the legacy path (scripted recognizer) and
// on the product binary.
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace brimlow::testing {
namespace {

using nlohmann::json;

const std::string kLegacyScripted = "tests/legacy/brimlow-stt-helper-legacy-scripted";
const std::string kAnalyzerScripted = "tests/analyzer/brimlow-stt-helper-scripted";
const std::string kProduct = "stt-helper/brimlow-stt-helper";

struct ModeRun {
  std::vector<json> events;
  ExitStatus status;
};

// Runs one mode of a binary with a scenario file and collects every event.
ModeRun runMode(const std::string& binary, std::vector<std::string> args,
                const json& scenario = json::object(),
                std::map<std::string, std::optional<std::string>> env = {}) {
  char path[] = "/tmp/brimlow-scenario-XXXXXX";
  int fd = ::mkstemp(path);
  ::close(fd);
  std::ofstream(path) << scenario.dump();
  env["BRIMLOW_TEST_SCENARIO"] = std::string(path);    // legacy scripted helper
  env["BRIMLOW_ANALYSIS_SCRIPT"] = std::string(path);  // analyzer scripted helper
  ChildProcess helper(binaryPath(binary), ChildProcess::Options{std::move(args), env, false});
  ModeRun run;
  for (const auto& line : helper.readAllLines(30s)) run.events.push_back(json::parse(line));
  run.status = helper.wait(30s);
  EXPECT_EQ(helper.stderrText(), "");
  std::remove(path);
  return run;
}

json probeTask(int64_t code) {
  if (code == 0) return {{"steps", {{{"on", "endAudio"}, {"final", ""}}}}};
  return {{"steps", {{{"on", "endAudio"}, {"error", {{"code", code}, {"description", "x"}}}}}}};
}

TEST(LegacyHealth, ReportsEachOutcomeAsOneStatusWithExitCodeZero) {
  struct Case {
    const char* name;
    json scenario;
    json expected;
  } cases[] = {
      {"ready",
       {{"probe", {probeTask(0)}}},
       {{"status", "ready"},
        {"available", true},
        {"authorization", "authorized"},
        {"modelStatus", "installed"},
        {"dictation", "enabled"}}},
      {"no-speech probe still means Dictation is on",
       {{"probe", {probeTask(1110)}}},
       {{"status", "ready"},
        {"available", true},
        {"authorization", "authorized"},
        {"modelStatus", "installed"},
        {"dictation", "enabled"}}},
      {"dictation off",
       {{"probe", {probeTask(1700)}}},
       {{"status", "setup-required"},
        {"available", false},
        {"authorization", "authorized"},
        {"modelStatus", "installed"},
        {"dictation", "disabled"},
        {"message",
         "macOS Dictation is disabled. Turn it on in System Settings > Keyboard > Dictation, "
         "then retry."}}},
      {"no ja-JP recognizer",
       {{"locales", {{"en-US", true}}}},
       {{"status", "setup-required"},
        {"available", false},
        {"authorization", "authorized"},
        {"modelStatus", "unavailable"},
        {"dictation", "unknown"}}},
      {"not determined",
       {{"authorization", 0}},
       {{"status", "setup-required"},
        {"available", false},
        {"authorization", "not-determined"},
        {"modelStatus", "installed"},
        {"dictation", "unknown"}}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto run = runMode(kLegacyScripted, {"--health"}, c.scenario);
    ASSERT_EQ(run.events.size(), 1u);
    json expected = c.expected;
    expected["type"] = "helper.status";
    expected["implementation"] = "sf-speech-recognizer";
    expected["protocolVersion"] = 1;
    EXPECT_EQ(run.events[0], expected);
    EXPECT_EQ(run.status.code, 0);
  }
}

TEST(LegacyAuthorize, WritesTheAnsweredStateAndExitsZero) {
  for (auto [answer, label, authorized] :
       {std::tuple{3, "authorized", true}, std::tuple{1, "denied", false},
        std::tuple{2, "restricted", false}}) {
    auto run = runMode(kLegacyScripted, {"--authorize"},
                       {{"authorization", 0}, {"authorizationAfterRequest", answer}});
    ASSERT_EQ(run.events.size(), 1u);
    EXPECT_EQ(
        run.events[0],
        (json{{"type", "helper.authorization"}, {"status", label}, {"authorized", authorized}}));
    EXPECT_EQ(run.status.code, 0);
  }
}

TEST(LegacyInstallAssets, NeedsTheCurrentSystem) {
  auto run = runMode(kLegacyScripted, {"--install-assets", "en-US"});
  ASSERT_EQ(run.events.size(), 1u);
  EXPECT_EQ(run.events[0]["type"], "helper.error");
  EXPECT_EQ(run.events[0]["message"],
            "SpeechAnalyzer assets require macOS 26 and the macOS 26 SDK (Xcode/Command Line Tools "
            "26)");
  EXPECT_EQ(run.status.code, 1);
}

json error(const char* description) {
  return {{"domain", "ScriptedAssets"}, {"code", 7}, {"description", description}};
}

TEST(AnalyzerHealth, ReportsModelStatusOrUnavailableWithTheirExitCodes) {
  struct Case {
    const char* name;
    json scenario;
    json expected;
    int code;
  } cases[] = {
      {"installed",
       {{"assetStatus", "installed"}},
       {{"status", "ready"}, {"available", true}, {"modelStatus", "installed"}},
       0},
      {"model missing",
       {{"assetStatus", "supported"}},
       {{"status", "setup-required"}, {"available", false}, {"modelStatus", "supported"}},
       0},
      {"no transcriber",
       {{"available", false}},
       {{"status", "unavailable"}, {"available", false}, {"modelStatus", "unsupported"}},
       1},
      {"no ja-JP",
       {{"unsupportedLocales", {"ja-JP"}}},
       {{"status", "unavailable"}, {"available", false}, {"modelStatus", "unsupported"}},
       1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto run = runMode(kAnalyzerScripted, {"--health"}, c.scenario);
    ASSERT_EQ(run.events.size(), 1u);
    json expected = c.expected;
    expected["type"] = "helper.status";
    expected["implementation"] = "speech-analyzer";
    expected["authorization"] = "not-required";
    expected["protocolVersion"] = 1;
    EXPECT_EQ(run.events[0], expected);
    EXPECT_EQ(run.status.code, c.code);
  }
}

TEST(AnalyzerAuthorize, IsNotRequired) {
  auto run = runMode(kAnalyzerScripted, {"--authorize"});
  ASSERT_EQ(run.events.size(), 1u);
  EXPECT_EQ(
      run.events[0],
      (json{{"type", "helper.authorization"}, {"status", "not-required"}, {"authorized", true}}));
  EXPECT_EQ(run.status.code, 0);
}

TEST(AnalyzerInstallAssets, EveryOutcomeWithItsEventsAndExitCode) {
  auto model = [](const char* status, const char* locale = "ja-JP") {
    return json{{"type", "helper.model"}, {"status", status}, {"locale", locale}};
  };
  auto failed = [](const std::string& message) {
    return json{{"type", "helper.error"}, {"message", message}};
  };
  struct Case {
    const char* name;
    std::vector<std::string> args;
    json scenario;
    std::vector<json> expected;  // "at" of errors is checked for presence, then removed
    int code;
  } cases[] = {
      {"already installed, default locale",
       {"--install-assets"},
       {{"assetStatus", "installed"}},
       {model("installed"), model("installed")},
       0},
      {"downloads and installs",
       {"--install-assets", "en-US"},
       {{"assetStatus", "supported"}},
       {model("supported", "en-US"), model("downloading", "en-US"), model("installed", "en-US")},
       0},
      {"unknown locale named as typed",
       {"--install-assets", "xx-Nope"},
       {{"unsupportedLocales", {"xx-Nope"}}},
       {failed("SpeechAnalyzer does not support locale xx-Nope")},
       1},
      {"request fails",
       {"--install-assets"},
       {{"assetStatus", "supported"}, {"requestError", error("no request")}},
       {model("supported"), failed("SpeechAnalyzer asset installation failed: no request")},
       1},
      {"installation fails",
       {"--install-assets"},
       {{"assetStatus", "supported"}, {"installError", error("disk full")}},
       {model("supported"), model("downloading"),
        failed("SpeechAnalyzer asset installation failed: disk full")},
       1},
      {"still not installed afterwards",
       {"--install-assets"},
       {{"assetStatus", "supported"}, {"statusAfterInstall", "downloading"}},
       {model("supported"), model("downloading"), model("downloading")},
       1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto run = runMode(kAnalyzerScripted, c.args, c.scenario);
    for (auto& event : run.events) {
      if (event["type"] == "helper.error") {
        EXPECT_TRUE(event["at"].is_number());
        event.erase("at");
      }
    }
    EXPECT_EQ(run.events, c.expected);
    EXPECT_EQ(run.status.code, c.code);
  }
}

TEST(ProductInstallAssets, ALocaleTypedInAnotherEncodingIsStillNamedInOneError) {
  auto run = runMode(kProduct, {"--install-assets", "xx-\xff"});
  ASSERT_EQ(run.events.size(), 1u);
  EXPECT_EQ(run.events[0]["type"], "helper.error");
  EXPECT_EQ(run.events[0]["message"], "SpeechAnalyzer does not support locale xx-\xef\xbf\xbd");
  EXPECT_EQ(run.status.code, 1);
}

TEST(ProductBinary, CarriesItsPropertyListInItsOwnSection) {
  std::ifstream in(binaryPath(kProduct), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto at = bytes.find("<key>NSSpeechRecognitionUsageDescription</key>");
  ASSERT_NE(at, std::string::npos);
  EXPECT_NE(
      bytes.find("会議音声をこのMac内でリアルタイムに文字起こしするために音声認識を使用します。",
                 at),
      std::string::npos);
  EXPECT_NE(bytes.find("__info_plist"), std::string::npos);  // the section's name
}

}  // namespace
}  // namespace brimlow::testing
