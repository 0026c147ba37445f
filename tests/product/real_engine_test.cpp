// The product helper on this machine's real engine, driven over pipes as a host drives it.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/pcm_base64.h"
#include "tests/product/recordings.h"
#include "tests/support/process.h"

namespace brimlow::testing {
namespace {

using nlohmann::json;

const std::string kHelper = "stt-helper/brimlow-stt-helper";

ChildProcess::Options onPath(const char* version, std::vector<std::string> args = {},
                             std::optional<std::string> defaultLocale = std::nullopt) {
  return ChildProcess::Options{
      std::move(args),
      {{"BRIMLOW_PLATFORM_VERSION", version}, {"BRIMLOW_LOCALE", defaultLocale}},
      false};
}

// Chunk `sequence` of a remote stream that began at 1.7e12 ms.
json audioCommand(const std::string& session, int64_t sequence, const std::string& pcmBase64) {
  return {{"type", "audio"},
          {"sessionId", session},
          {"source", "remote"},
          {"sequence", sequence},
          {"capturedAt", 1.7e12 + 250.0 * sequence},
          {"pcmBase64", pcmBase64}};
}

// Sends the recording and 1.5 s of silence in 250 ms chunks; paced at real time when asked
// (the legacy backend ends utterances on wall-clock silence).
// Returns the next sequence number.
int64_t feed(ChildProcess& helper, const std::string& session, const std::vector<int16_t>& audio,
             bool realTime) {
  std::vector<int16_t> all = audio;
  all.resize(all.size() + 24000, 0);
  int64_t sequence = 0;
  auto next = std::chrono::steady_clock::now();
  for (size_t at = 0; at < all.size(); at += 4000, ++sequence) {
    std::vector<int16_t> chunk(all.begin() + at, all.begin() + std::min(all.size(), at + 4000));
    helper.writeJson(audioCommand(session, sequence, protocol::pcm16Base64(chunk)));
    if (realTime) {
      next += std::chrono::milliseconds(250);
      std::this_thread::sleep_until(next);  // a live source, not a synchronisation
    }
  }
  return sequence;
}

// A live source keeps sending silence after speech, and the legacy backend checks its silence
// rule as chunks arrive. On a loaded machine the engine's first words may come only after the
// recording has been sent, so go on sending silent chunks at real-time pace until the final comes.
std::optional<json> finalWhileSilent(ChildProcess& helper, const std::string& session,
                                     int64_t sequence, std::chrono::seconds limit,
                                     std::vector<json>* before = nullptr) {
  const std::string silence = protocol::pcm16Base64(std::vector<int16_t>(4000, 0));
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto final = helper.readEventOfType("transcript.final", 250ms, before)) return final;
    helper.writeJson(audioCommand(session, sequence++, silence));
  }
  return std::nullopt;
}

TEST(RealEngine, AnalyzerPathTranscribesGoForwardWithPartialsAndAFinal) {
  ChildProcess helper(binaryPath(kHelper), onPath("26.0"));
  helper.writeJson({{"type", "session.start"}, {"sessionId", "s1"}, {"locale", "en-US"}});
  std::vector<json> before;
  ASSERT_TRUE(helper.readEventOfType("session.ready", 30s, &before));
  feed(helper, "s1", readRaw(kGoForward), false);
  helper.writeJson({{"type", "session.stop"}, {"sessionId", "s1"}});
  std::vector<json> partials;
  auto final = helper.readEventOfType("transcript.final", 60s, &partials);
  ASSERT_TRUE(final);
  EXPECT_EQ((*final)["text"], "Go forward ten meters.");
  EXPECT_EQ((*final)["endpointing"],
            (json{{"provider", "apple-speech-analyzer"}, {"reason", "framework"}}));
  EXPECT_GE((*final)["latencyMs"].get<double>(), 0.0);
  EXPECT_TRUE((*final)["utteranceId"].get<std::string>().starts_with("s1-remote-"));
  const double started = (*final)["startedAt"].get<double>();
  const double ended = (*final)["speechEndedAt"].get<double>();
  EXPECT_GT(started, 1.7e12);  // speech begins after the recording's leading silence
  EXPECT_LT(started, 1.7e12 + 1000);
  EXPECT_GT(ended, started + 1000);  // about two seconds of speech
  int partialCount = 0;
  for (const auto& event : partials) {
    if (event["type"] != "transcript.partial") continue;
    ++partialCount;
    EXPECT_EQ(event["utteranceId"], (*final)["utteranceId"]);
  }
  EXPECT_GE(partialCount, 2);
  helper.closeStdin();
  EXPECT_EQ(helper.wait(30s).code, 0);
  EXPECT_EQ(helper.stderrText(), "");  // no engine chatter
}

TEST(RealEngine, IdleSessionsHoldNoDecoderAndAChannelThatMustWaitForOneSaysSo) {
  // One place for the whole helper: four idle sessions must leave it to the live ones, and the
  // live one that comes second waits for it, aloud, until the first one's input has run dry.
  auto options = onPath("26.0");
  options.env["BRIMLOW_MAX_DECODERS"] = "1";
  ChildProcess helper(binaryPath(kHelper), options);
  const std::vector<std::string> live = {"a", "b"};
  for (const std::string id : {"idle1", "idle2", "idle3", "idle4", "a", "b"}) {
    helper.writeJson({{"type", "session.start"}, {"sessionId", id}, {"locale", "en-US"}});
    for (int source = 0; source < 2; ++source)
      ASSERT_TRUE(helper.readEventOfType("session.ready", 30s));
  }
  for (const auto& id : live) feed(helper, id, readRaw(kGoForward), false);
  std::vector<json> events;
  std::map<std::string, size_t> finalAt;
  while (finalAt.size() < live.size()) {
    auto event = helper.readEvent(60s);
    ASSERT_TRUE(event) << "no final for every live session without any stop";
    if ((*event)["type"] == "transcript.final") {
      EXPECT_EQ((*event)["text"], "Go forward ten meters.");
      finalAt[(*event)["sessionId"]] = events.size();
    }
    events.push_back(*event);
  }
  std::vector<std::pair<size_t, json>> waits;
  for (size_t i = 0; i < events.size(); ++i)
    if (events[i]["type"] == "source.waiting") waits.push_back({i, events[i]});
  ASSERT_EQ(waits.size(), 2u);
  const std::string second = waits[0].second["sessionId"];
  const std::string first = second == "a" ? "b" : "a";
  EXPECT_EQ(waits[0].second["waiting"], true);
  EXPECT_EQ(waits[0].second["source"], "remote");
  EXPECT_TRUE(waits[0].second["at"].is_number());
  EXPECT_EQ(waits[0].second.size(), 5u);
  EXPECT_EQ(waits[1].second["sessionId"], second);
  EXPECT_EQ(waits[1].second["waiting"], false);
  EXPECT_GT(waits[1].first, finalAt[first]);
  EXPECT_LT(waits[1].first, finalAt[second]);

  // A stopped session's events end with "session.finished", and nothing of it follows.
  for (const auto& id : live) helper.writeJson({{"type", "session.stop"}, {"sessionId", id}});
  std::vector<json> afterStop;
  std::set<std::string> finished;
  for (const auto& id : live) {
    auto event = helper.readEventOfType("session.finished", 30s, &afterStop);
    ASSERT_TRUE(event) << id;
    finished.insert((*event)["sessionId"].get<std::string>());
  }
  EXPECT_EQ(finished, (std::set<std::string>{"a", "b"}));
  // Their audio was all decoded: nothing but the stops came before.
  std::vector<std::string> order;
  for (const auto& event : afterStop) order.push_back(event["type"]);
  EXPECT_EQ(order, (std::vector<std::string>{"session.stopped", "session.stopped"}));
  helper.writeJson({{"type", "ping"}});
  auto pong = helper.readEvent(30s);
  ASSERT_TRUE(pong);
  EXPECT_EQ((*pong)["type"], "pong");
  helper.closeStdin();
  EXPECT_EQ(helper.wait(30s).code, 0);
  EXPECT_EQ(helper.stderrText(), "");
}

TEST(RealEngine, LegacyPathTranscribesGoForwardAtRealTimePace) {
  ChildProcess helper(binaryPath(kHelper), onPath("15.0"));
  helper.writeJson({{"type", "session.start"}, {"sessionId", "s2"}, {"locale", "en-US"}});
  auto ready = helper.readEventOfType("session.ready", 30s);
  ASSERT_TRUE(ready);
  EXPECT_EQ((*ready)["available"], true);
  const int64_t next = feed(helper, "s2", readRaw(kGoForward), true);
  auto final = finalWhileSilent(helper, "s2", next, 60s);
  ASSERT_TRUE(final);
  EXPECT_EQ((*final)["text"], "Go forward ten meters.");
  EXPECT_EQ((*final)["endpointing"]["reason"], "silence");
  EXPECT_EQ((*final)["endpointing"]["provider"], "apple-sfspeech");
  helper.closeStdin();
  EXPECT_EQ(helper.wait(30s).code, 0);
  EXPECT_EQ(helper.stderrText(), "");
}

// The text of the first final after the session's "session.stopped" (the channels' last finals
// follow it); the sentences here are one utterance each.
std::string finalAfterStop(ChildProcess& helper, const std::string& session) {
  helper.writeJson({{"type", "session.stop"}, {"sessionId", session}});
  EXPECT_TRUE(helper.readEventOfType("session.stopped", 60s));
  auto final = helper.readEventOfType("transcript.final", 60s);
  if (!final) return "";
  EXPECT_EQ((*final)["sessionId"], session);
  return (*final)["text"];
}

TEST(RealEngine, VocabularyWordMissingFromTheDictionaryIsRecognisedInItsSessionOnly) {
  const auto speech = synthesise("we moved the payment service to kubernetes last sprint");
  ASSERT_GT(speech.size(), 16000u) << "flite is needed (scripts/install-deps)";
  ChildProcess helper(binaryPath(kHelper), onPath("26.0"));
  // "'" has nothing to pronounce: it is skipped and the session works all the same.
  helper.writeJson({{"type", "session.start"},
                    {"sessionId", "v1"},
                    {"locale", "en-US"},
                    {"vocabulary", {"Kubernetes", "'"}}});
  ASSERT_TRUE(helper.readEventOfType("session.ready", 30s));
  feed(helper, "v1", speech, false);
  const std::string with = finalAfterStop(helper, "v1");
  EXPECT_THAT(with, ::testing::HasSubstr(" Kubernetes ")) << with;
  EXPECT_TRUE(with.starts_with("We ")) << with;

  // A later session without the vocabulary, in the same process, never hears the word.
  helper.writeJson({{"type", "session.start"}, {"sessionId", "n1"}, {"locale", "en-US"}});
  ASSERT_TRUE(helper.readEventOfType("session.ready", 30s));
  feed(helper, "n1", speech, false);
  std::string without = finalAfterStop(helper, "n1");
  EXPECT_FALSE(without.empty());
  for (auto& c : without) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_THAT(without, ::testing::Not(::testing::HasSubstr("kubernetes")));
  helper.closeStdin();
  EXPECT_EQ(helper.wait(30s).code, 0);
  EXPECT_EQ(helper.stderrText(), "");
}

TEST(RealEngine, LegacyPathRecognisesAVocabularyWordMissingFromTheDictionary) {
  const auto speech = synthesise("we moved the payment service to kubernetes last sprint");
  ASSERT_GT(speech.size(), 16000u) << "flite is needed (scripts/install-deps)";
  ChildProcess helper(binaryPath(kHelper), onPath("15.0"));
  helper.writeJson({{"type", "session.start"},
                    {"sessionId", "v2"},
                    {"locale", "en-US"},
                    {"vocabulary", {"Kubernetes"}}});
  ASSERT_TRUE(helper.readEventOfType("session.ready", 30s));
  const int64_t next = feed(helper, "v2", speech, true);
  auto final = finalWhileSilent(helper, "v2", next, 60s);
  ASSERT_TRUE(final);
  EXPECT_THAT((*final)["text"].get<std::string>(), ::testing::HasSubstr(" Kubernetes "));
  helper.closeStdin();
  EXPECT_EQ(helper.wait(30s).code, 0);
  EXPECT_EQ(helper.stderrText(), "");
}

// A question with a name the dictionary lacks, said as its bearer says it (not as English
// spelling rules would), a mixed-case product name, an acronym and a proper noun outside the
// vocabulary.
const char* kNamesQuestion = "can oh loo wah shay oon put the graph Q L files on A W S in berlin";
const json kNamesVocabulary = {"Oluwaseun", "GraphQL", "AWS"};
const char* kNamesQuestionText = "Can Oluwaseun put the GraphQL files on AWS in Berlin?";

// Partials carry no end punctuation: the utterance goes on.
void expectPartialsWithoutEndPunctuation(const std::vector<json>& events) {
  int partials = 0;
  for (const auto& event : events) {
    if (event["type"] != "transcript.partial") continue;
    ++partials;
    const std::string text = event["text"];
    EXPECT_EQ(text.find_last_of(".?!"), std::string::npos) << text;
  }
  EXPECT_GE(partials, 2);
}

TEST(RealEngine, AnalyzerPathWritesNamesAndTermsAsGivenProperNounsWithCapitalsAndAQuestionMark) {
  const auto speech = synthesise(kNamesQuestion);
  ASSERT_GT(speech.size(), 16000u) << "flite is needed (scripts/install-deps)";
  ChildProcess helper(binaryPath(kHelper), onPath("26.0"));
  helper.writeJson({{"type", "session.start"},
                    {"sessionId", "q1"},
                    {"locale", "en-US"},
                    {"vocabulary", kNamesVocabulary}});
  ASSERT_TRUE(helper.readEventOfType("session.ready", 30s));
  feed(helper, "q1", speech, false);
  helper.writeJson({{"type", "session.stop"}, {"sessionId", "q1"}});
  std::vector<json> before;
  auto final = helper.readEventOfType("transcript.final", 60s, &before);
  ASSERT_TRUE(final);
  EXPECT_EQ((*final)["text"], kNamesQuestionText);
  expectPartialsWithoutEndPunctuation(before);
  helper.closeStdin();
  EXPECT_EQ(helper.wait(30s).code, 0);
  EXPECT_EQ(helper.stderrText(), "");
}

TEST(RealEngine, LegacyPathWritesNamesAndTermsAsGivenProperNounsWithCapitalsAndAQuestionMark) {
  const auto speech = synthesise(kNamesQuestion);
  ASSERT_GT(speech.size(), 16000u) << "flite is needed (scripts/install-deps)";
  ChildProcess helper(binaryPath(kHelper), onPath("15.0"));
  helper.writeJson({{"type", "session.start"},
                    {"sessionId", "q2"},
                    {"locale", "en-US"},
                    {"vocabulary", kNamesVocabulary}});
  ASSERT_TRUE(helper.readEventOfType("session.ready", 30s));
  const int64_t next = feed(helper, "q2", speech, true);
  std::vector<json> before;
  auto final = finalWhileSilent(helper, "q2", next, 60s, &before);
  ASSERT_TRUE(final);
  EXPECT_EQ((*final)["text"], kNamesQuestionText);
  EXPECT_EQ((*final)["endpointing"]["reason"], "silence");
  expectPartialsWithoutEndPunctuation(before);
  helper.closeStdin();
  EXPECT_EQ(helper.wait(30s).code, 0);
  EXPECT_EQ(helper.stderrText(), "");
}

TEST(RealEngine, DefaultJapaneseLocaleGetsTheUnsupportedAnswersOnBothPaths) {
  const std::string chunk = protocol::pcm16Base64(std::vector<int16_t>(4000, 500));
  json audio = {{"type", "audio"}, {"sessionId", "ja"},    {"source", "remote"},
                {"sequence", 0},   {"capturedAt", 1.7e12}, {"pcmBase64", chunk}};
  {
    ChildProcess helper(binaryPath(kHelper), onPath("26.0"));
    auto status = helper.readEvent(30s);
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["status"], "checking-model");
    auto error = helper.readEvent(30s);
    ASSERT_TRUE(error);
    EXPECT_EQ((*error)["message"], "SpeechAnalyzer does not support Japanese on this Mac");
    helper.writeJson({{"type", "session.start"}, {"sessionId", "ja"}});
    helper.writeJson(audio);
    auto failed = helper.readEvent(30s);
    ASSERT_TRUE(failed);
    EXPECT_EQ((*failed)["message"],
              "SpeechAnalyzer input failed: Unsupported SpeechAnalyzer locale: ja-JP");
    EXPECT_EQ((*failed)["sessionId"], "ja");
    helper.closeStdin();
    EXPECT_EQ(helper.wait(30s).code, 0);
  }
  {
    ChildProcess helper(binaryPath(kHelper), onPath("15.0"));
    auto status = helper.readEvent(30s);
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["status"], "setup-required");
    EXPECT_EQ((*status)["modelStatus"], "unavailable");
    helper.writeJson({{"type", "session.start"}, {"sessionId", "ja"}});
    auto ready = helper.readEvent(30s);
    ASSERT_TRUE(ready);
    EXPECT_EQ((*ready)["type"], "session.ready");
    EXPECT_EQ((*ready)["available"], false);
    EXPECT_EQ((*helper.readEvent(30s))["type"], "helper.status");
    helper.writeJson(audio);
    auto failed = helper.readEvent(30s);
    ASSERT_TRUE(failed);
    EXPECT_EQ((*failed)["message"], "Unsupported recognition locale: ja-JP");
    helper.closeStdin();
    EXPECT_EQ(helper.wait(30s).code, 0);
  }
}

std::vector<json> runMode(const char* version, std::vector<std::string> args, int& code,
                          std::optional<std::string> defaultLocale = std::nullopt) {
  ChildProcess helper(binaryPath(kHelper), onPath(version, std::move(args), defaultLocale));
  std::vector<json> events;
  for (const auto& line : helper.readAllLines(60s)) events.push_back(json::parse(line));
  code = helper.wait(30s).code;
  EXPECT_EQ(helper.stderrText(), "");
  for (auto& event : events) event.erase("at");
  return events;
}

TEST(RealEngine, OneShotModesGiveThisPlatformsAnswers) {
  int code = -1;
  EXPECT_EQ(runMode("26.0", {"--health"}, code),
            (std::vector<json>{{{"type", "helper.status"},
                                {"status", "unavailable"},
                                {"available", false},
                                {"implementation", "speech-analyzer"},
                                {"authorization", "not-required"},
                                {"modelStatus", "unsupported"},
                                {"protocolVersion", 1}}}));
  EXPECT_EQ(code, 1);

  auto legacy = runMode("15.0", {"--health"}, code);
  ASSERT_EQ(legacy.size(), 1u);
  EXPECT_EQ(legacy[0]["status"], "setup-required");
  EXPECT_EQ(legacy[0]["modelStatus"], "unavailable");
  EXPECT_EQ(legacy[0]["authorization"], "authorized");
  EXPECT_EQ(code, 0);

  EXPECT_EQ(
      runMode("26.0", {"--authorize"}, code),
      (std::vector<json>{
          {{"type", "helper.authorization"}, {"status", "not-required"}, {"authorized", true}}}));
  EXPECT_EQ(
      runMode("15.0", {"--authorize"}, code),
      (std::vector<json>{
          {{"type", "helper.authorization"}, {"status", "authorized"}, {"authorized", true}}}));
  EXPECT_EQ(code, 0);

  json installed = {{"type", "helper.model"}, {"status", "installed"}, {"locale", "en-US"}};
  EXPECT_EQ(runMode("26.0", {"--install-assets", "en-US"}, code),
            (std::vector<json>{installed, installed}));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(runMode("26.0", {"--install-assets"}, code),
            (std::vector<json>{{{"type", "helper.error"},
                                {"message", "SpeechAnalyzer does not support locale ja-JP"}}}));
  EXPECT_EQ(code, 1);
}

TEST(RealEngine, WithTheDefaultLocaleSetToOneWithAModelTheHelperIsReady) {
  int code = -1;
  EXPECT_EQ(runMode("26.0", {"--health"}, code, "en-US"),
            (std::vector<json>{{{"type", "helper.status"},
                                {"status", "ready"},
                                {"available", true},
                                {"implementation", "speech-analyzer"},
                                {"authorization", "not-required"},
                                {"modelStatus", "installed"},
                                {"protocolVersion", 1}}}));
  EXPECT_EQ(code, 0);
  auto legacy = runMode("15.0", {"--health"}, code, "en-US");
  ASSERT_EQ(legacy.size(), 1u);
  EXPECT_EQ(legacy[0]["available"], true);
  EXPECT_EQ(legacy[0]["modelStatus"], "installed");
  EXPECT_EQ(code, 0);
  json installed = {{"type", "helper.model"}, {"status", "installed"}, {"locale", "en-US"}};
  EXPECT_EQ(runMode("26.0", {"--install-assets"}, code, "en-US"),
            (std::vector<json>{installed, installed}));
  EXPECT_EQ(code, 0);

  ChildProcess helper(binaryPath(kHelper), onPath("26.0", {}, "en-US"));
  auto checking = helper.readEvent(30s);
  ASSERT_TRUE(checking);
  EXPECT_EQ((*checking)["status"], "checking-model");
  auto status = helper.readEvent(30s);
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)["status"], "ready");
  EXPECT_EQ((*status)["available"], true);
  EXPECT_EQ((*status)["message"], "On-device en-US SpeechAnalyzer model is ready.");
  helper.closeStdin();
  EXPECT_EQ(helper.wait(30s).code, 0);
}

}  // namespace
}  // namespace brimlow::testing
