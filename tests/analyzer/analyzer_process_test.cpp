// The analyzer backend in streaming mode, driven over pipes as a host drives it.
#include <regex>
#include <set>

#include "protocol/pcm_base64.h"
#include "tests/analyzer/process_fixture.h"

namespace brimlow::testing {
namespace {

using nlohmann::json;

const json kCheckingModel = {{"type", "helper.status"},
                             {"status", "checking-model"},
                             {"available", false},
                             {"implementation", "speech-analyzer"},
                             {"authorization", "not-required"},
                             {"protocolVersion", 1}};

json audio(const std::string& session, const std::string& source, int64_t sequence,
           double capturedAt, size_t samples = 1600) {
  return {{"type", "audio"},
          {"sessionId", session},
          {"source", source},
          {"sequence", sequence},
          {"capturedAt", capturedAt},
          {"pcmBase64", protocol::pcm16Base64(std::vector<int16_t>(samples, 300))}};
}

class AnalyzerHelper : public ScriptedHelperTest {
 protected:
  // Starts the helper and reads both status events.
  void startReady(const json& script) {
    start(script);
    auto first = helper_->readEvent();
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, kCheckingModel);
    auto second = helper_->readEventOfType("helper.status");
    ASSERT_TRUE(second);
    ASSERT_EQ((*second)["status"], "ready");
  }
  // Starts a session and returns its two "session.ready" events, remote first.
  std::vector<json> startSession(const std::string& id, json extra = json::object()) {
    json command = {{"type", "session.start"}, {"sessionId", id}};
    command.update(extra);
    helper_->writeJson(command);
    return readReady(2);
  }
  std::vector<json> readReady(size_t count) {
    std::vector<json> ready;
    for (size_t i = 0; i < count; ++i) {
      auto event = helper_->readEvent();
      EXPECT_TRUE(event);
      if (!event) break;
      EXPECT_EQ((*event)["type"], "session.ready") << event->dump();
      ready.push_back(*event);
    }
    std::sort(ready.begin(), ready.end(),
              [](const json& a, const json& b) { return a["source"] > b["source"]; });
    return ready;
  }
  // A ping whose pong must be the very next event: nothing else was written before it.
  void expectNothingThenPong() {
    helper_->writeJson({{"type", "ping"}, {"sentAt", 7}});
    auto event = helper_->readEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ((*event)["type"], "pong") << event->dump();
  }
  static std::string epochOf(const json& event) {
    std::smatch match;
    std::string id = event["utteranceId"];
    EXPECT_TRUE(std::regex_match(id, match, std::regex(".*-([0-9A-F]{8})-[0-9]+"))) << id;
    return match.size() > 1 ? match[1].str() : "";
  }
};

TEST_F(AnalyzerHelper, StatusIsCheckingModelThenReadyWhenTheModelIsInstalled) {
  start(json::object());
  auto first = helper_->readEvent();
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, kCheckingModel);
  auto second = helper_->readEvent();
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, (json{{"type", "helper.status"},
                           {"status", "ready"},
                           {"available", true},
                           {"implementation", "speech-analyzer"},
                           {"authorization", "not-required"},
                           {"modelStatus", "installed"},
                           {"message", "On-device Japanese SpeechAnalyzer model is ready."},
                           {"protocolVersion", 1}}));
}

TEST_F(AnalyzerHelper, MissingModelGivesSetupRequired) {
  start({{"assetStatus", "supported"}});
  EXPECT_EQ(helper_->readEvent(), kCheckingModel);
  EXPECT_EQ(helper_->readEvent(),
            (json{{"type", "helper.status"},
                  {"status", "setup-required"},
                  {"available", false},
                  {"implementation", "speech-analyzer"},
                  {"authorization", "not-required"},
                  {"modelStatus", "supported"},
                  {"message", "Run `npm run helper:install-model` while online, then retry."},
                  {"protocolVersion", 1}}));
}

TEST_F(AnalyzerHelper, NoTranscriberAndNoJapanese) {
  start({{"available", false}, {"unsupportedLocales", {"ja-JP"}}});
  auto first = helper_->readEvent();
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["status"], "unavailable");
  EXPECT_EQ((*first)["available"], false);
  auto error = helper_->readEvent();
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["type"], "helper.error");
  EXPECT_EQ((*error)["message"], "SpeechAnalyzer does not support Japanese on this Mac");
  EXPECT_EQ(error->size(), 3u) << error->dump();
  expectNothingThenPong();
}

TEST_F(AnalyzerHelper, TheDefaultLocaleIsWhatTheStatusDescribesAndWhatSessionsUseByDefault) {
  start({{"unsupportedLocales", {"ja-JP"}}}, {}, {{"BRIMLOW_LOCALE", "en-US"}});
  EXPECT_EQ(helper_->readEvent(), kCheckingModel);
  auto status = helper_->readEvent();
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)["status"], "ready");
  EXPECT_EQ((*status)["message"], "On-device en-US SpeechAnalyzer model is ready.");
  for (const auto& ready : startSession("s1")) EXPECT_EQ(ready["locale"], "en-US");

  // A default locale without a model: the same events as for Japanese, naming it.
  start({{"unsupportedLocales", {"fr-FR"}}}, {}, {{"BRIMLOW_LOCALE", "fr-FR"}});
  EXPECT_EQ(helper_->readEvent(), kCheckingModel);
  auto error = helper_->readEvent();
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["message"], "SpeechAnalyzer does not support fr-FR on this Mac");
  expectNothingThenPong();
}

TEST_F(AnalyzerHelper, TranscribesOneSourceWithItsTimesAndIds) {
  startReady({{"results",
               {{{"afterBuffers", 1}, {"text", " こんにちは "}, {"start", 0.25}, {"duration", 0.5}},
                {{"afterBuffers", 2},
                 {"text", "こんにちは世界"},
                 {"start", 0.25},
                 {"duration", 0.5},
                 {"final", true}}}}});
  auto ready = startSession("s1", {{"locale", "en-US"}});
  ASSERT_EQ(ready.size(), 2u);
  EXPECT_EQ(ready[0], (json{{"type", "session.ready"},
                            {"sessionId", "s1"},
                            {"source", "self"},
                            {"available", true},
                            {"implementation", "speech-analyzer"},
                            {"locale", "en-US"}}));
  EXPECT_EQ(ready[1]["source"], "remote");

  const double base = 1'700'000'000'000.0;
  helper_->writeJson(audio("s1", "self", 1, base));
  helper_->writeJson(audio("s1", "self", 2, base + 100));
  auto partial = helper_->readEvent();
  auto final = helper_->readEvent();
  ASSERT_TRUE(partial && final);
  EXPECT_EQ((*partial)["type"], "transcript.partial");
  EXPECT_EQ((*partial)["text"], "こんにちは");
  EXPECT_EQ((*partial)["startedAt"], base + 250);
  EXPECT_EQ((*partial)["sessionId"], "s1");
  EXPECT_EQ((*partial)["source"], "self");
  EXPECT_TRUE(std::regex_match((*partial)["utteranceId"].get<std::string>(),
                               std::regex("s1-self-[0-9A-F]{8}-250")));
  EXPECT_EQ(partial->size(), 7u) << partial->dump();

  EXPECT_EQ((*final)["type"], "transcript.final");
  EXPECT_EQ((*final)["utteranceId"], (*partial)["utteranceId"]);
  EXPECT_EQ((*final)["startedAt"], base + 250);
  EXPECT_EQ((*final)["speechEndedAt"], base + 750);
  EXPECT_GE((*final)["latencyMs"].get<double>(), 0.0);
  EXPECT_GE((*final)["transcribedAt"].get<double>(), (*partial)["transcribedAt"].get<double>());
  EXPECT_EQ((*final)["endpointing"],
            (json{{"provider", "apple-speech-analyzer"}, {"reason", "framework"}}));
  EXPECT_EQ(final->size(), 10u) << final->dump();

  // Only the self channel's analyzer heard anything, at the analyzer's own rate.
  auto appends = analyzerLog("append");
  ASSERT_EQ(appends.size(), 2u);
  EXPECT_EQ(appends[0]["analyzer"], appends[1]["analyzer"]);
  EXPECT_EQ(appends[0]["bufferFormat"], "48000 Hz, 1 ch, float32");
}

TEST_F(AnalyzerHelper, ChunksReachTheChannelInCommandOrder) {
  startReady({{"bestFormat", {{"sampleRate", 16000}, {"sampleFormat", "int16"}}},
              {"results", {{{"afterBuffers", 40}, {"text", "done"}}}}});
  startSession("s1");
  for (int i = 0; i < 40; ++i) helper_->writeJson(audio("s1", "remote", i, 1000.0 * i, 10 + i));
  ASSERT_TRUE(helper_->readEventOfType("transcript.partial"));
  auto appends = analyzerLog("append");
  ASSERT_EQ(appends.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(appends[i]["frames"], 10 + i);
}

TEST_F(AnalyzerHelper, MissingModelReportsEveryChunkAndNoSessionReady) {
  start({{"assetStatus", "downloading"}});
  ASSERT_TRUE(helper_->readEvent());
  auto status = helper_->readEvent();
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)["modelStatus"], "downloading");
  helper_->writeJson({{"type", "session.start"}, {"sessionId", "s1"}});
  for (int i = 0; i < 3; ++i) {
    helper_->writeJson(audio("s1", "remote", i, 1000.0 * i));
    auto error = helper_->readEvent();
    ASSERT_TRUE(error);
    json expected = {{"type", "helper.error"},
                     {"message",
                      "SpeechAnalyzer input failed: SpeechAnalyzer model is not installed; run npm "
                      "run helper:install-model"},
                     {"sessionId", "s1"},
                     {"source", "remote"}};
    expected["at"] = (*error)["at"];
    EXPECT_EQ(*error, expected);
  }
  expectNothingThenPong();
  EXPECT_TRUE(analyzerLog().empty());
}

TEST_F(AnalyzerHelper, UndecodableAudioIsReportedAndTheSessionGoesOn) {
  startReady({{"results", {{{"afterBuffers", 1}, {"text", "ok"}}}}});
  startSession("s1");
  json bad = audio("s1", "self", 1, 0);
  bad["pcmBase64"] = "AAA=\n";
  helper_->writeJson(bad);
  auto error = helper_->readEvent();
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["message"], "SpeechAnalyzer input failed: pcmBase64 is not valid Base64");
  EXPECT_EQ((*error)["sessionId"], "s1");
  EXPECT_EQ((*error)["source"], "self");
  bad["pcmBase64"] = "AAAA";  // three bytes
  helper_->writeJson(bad);
  error = helper_->readEvent();
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["message"],
            "SpeechAnalyzer input failed: PCM16 payload must contain an even number of bytes");
  helper_->writeJson(audio("s1", "self", 2, 0));
  auto partial = helper_->readEvent();
  ASSERT_TRUE(partial);
  EXPECT_EQ((*partial)["text"], "ok");
}

TEST_F(AnalyzerHelper, RepeatedStartStopsTheOldSessionFirst) {
  startReady(json::object());
  auto first = startSession("s1");
  helper_->writeJson({{"type", "session.start"}, {"sessionId", "s1"}, {"locale", "fr-FR"}});
  auto stopped = helper_->readEvent();
  ASSERT_TRUE(stopped);
  EXPECT_EQ((*stopped)["type"], "session.stopped");
  EXPECT_EQ((*stopped)["sessionId"], "s1");
  EXPECT_TRUE((*stopped)["at"].is_number_float());
  EXPECT_EQ(stopped->size(), 3u);
  // The new session's channels are ready while the old one finishes, in either order.
  std::multiset<std::string> types;
  for (int i = 0; i < 3; ++i) {
    auto event = helper_->readEvent();
    ASSERT_TRUE(event);
    types.insert((*event)["type"]);
    if ((*event)["type"] == "session.ready") {
      EXPECT_EQ((*event)["locale"], "fr-FR");
    }
  }
  EXPECT_EQ(types,
            (std::multiset<std::string>{"session.finished", "session.ready", "session.ready"}));
  EXPECT_EQ(analyzerLog("made").size(), 4u);
}

TEST_F(AnalyzerHelper, StopOfAnUnknownSessionWritesNothing) {
  startReady(json::object());
  helper_->writeJson({{"type", "session.stop"}, {"sessionId", "never"}});
  expectNothingThenPong();
}

TEST_F(AnalyzerHelper, FinalsOfAStoppedSessionFollowSessionStopped) {
  startReady(
      {{"results", {{{"text", "最後まで"}, {"start", 1.0}, {"duration", 1.0}, {"final", true}}}}});
  startSession("s1");
  helper_->writeJson(audio("s1", "remote", 1, 5000.0));
  helper_->writeJson({{"type", "session.stop"}, {"sessionId", "s1"}});
  auto stopped = helper_->readEvent();
  ASSERT_TRUE(stopped);
  EXPECT_EQ((*stopped)["type"], "session.stopped");
  // Both channels finish and each delivers its final, in either order.
  auto final = helper_->readEvent();
  auto other = helper_->readEvent();
  ASSERT_TRUE(final && other);
  if ((*final)["source"] != "remote") std::swap(final, other);
  EXPECT_EQ((*final)["type"], "transcript.final");
  EXPECT_EQ((*final)["source"], "remote");
  EXPECT_EQ((*final)["startedAt"], 6000.0);
  EXPECT_EQ((*final)["speechEndedAt"], 7000.0);
  // The self channel got no audio: its times are based on its transcription time.
  EXPECT_EQ((*other)["type"], "transcript.final");
  EXPECT_EQ((*other)["source"], "self");
  EXPECT_EQ((*other)["startedAt"].get<double>(), (*other)["transcribedAt"].get<double>() + 1000);
  // Then the end of the session's events, once; audio for it is dropped silently.
  auto finished = helper_->readEvent();
  ASSERT_TRUE(finished);
  EXPECT_EQ((*finished)["type"], "session.finished");
  EXPECT_EQ((*finished)["sessionId"], "s1");
  EXPECT_GE((*finished)["at"].get<double>(), (*stopped)["at"].get<double>());
  EXPECT_EQ(finished->size(), 3u);
  helper_->writeJson(audio("s1", "remote", 2, 6000.0));
  expectNothingThenPong();
}

TEST_F(AnalyzerHelper, ResultsOfAStoppedSessionAreWrittenWhileItsBacklogIsAnalysed) {
  // Nothing is analysed before the stop; the analyzer then holds after the second chunk.
  startReady({{"results",
               {{{"afterBuffers", 1}, {"text", "one"}, {"duration", 0.25}, {"final", true}},
                {{"afterBuffers", 3}, {"text", "three"}, {"start", 0.5}, {"final", true}}}},
              {"backlog", backlog(2)}});
  startSession("s1");
  for (int64_t sequence = 1; sequence <= 3; ++sequence)
    helper_->writeJson(audio("s1", "remote", sequence, 1000.0 * sequence));
  helper_->writeJson({{"type", "session.stop"}, {"sessionId", "s1"}});
  auto stopped = helper_->readEvent();
  ASSERT_TRUE(stopped);
  EXPECT_EQ((*stopped)["type"], "session.stopped");
  auto one = helper_->readEvent(5s);
  ASSERT_TRUE(one) << "no result while the rest of the backlog waits";
  EXPECT_EQ((*one)["type"], "transcript.final");
  EXPECT_EQ((*one)["text"], "one");
  EXPECT_EQ((*one)["startedAt"], 1000.0);
  releaseBacklog();
  auto three = helper_->readEvent();
  ASSERT_TRUE(three);
  EXPECT_EQ((*three)["text"], "three");
  EXPECT_EQ((*three)["startedAt"], 1500.0);
  auto finished = helper_->readEvent();
  ASSERT_TRUE(finished);
  EXPECT_EQ((*finished)["type"], "session.finished");
  expectNothingThenPong();
}

TEST_F(AnalyzerHelper, SuppressingDropsAudioAndResumingStartsANewEpoch) {
  startReady({{"results", {{{"afterBuffers", 1}, {"text", "一"}, {"start", 0.5}}}}});
  startSession("s1");
  helper_->writeJson(audio("s1", "self", 1, 0));
  auto before = helper_->readEvent();
  ASSERT_TRUE(before);
  EXPECT_EQ((*before)["type"], "transcript.partial");

  helper_->writeJson(
      {{"type", "source.suppress"}, {"sessionId", "s1"}, {"source", "self"}, {"suppressed", true}});
  auto suppressed = helper_->readEvent();
  ASSERT_TRUE(suppressed);
  EXPECT_EQ((*suppressed)["type"], "source.suppressed");
  EXPECT_EQ((*suppressed)["suppressed"], true);
  EXPECT_EQ((*suppressed)["source"], "self");
  EXPECT_TRUE((*suppressed)["at"].is_number());
  EXPECT_EQ(suppressed->size(), 5u);
  helper_->writeJson(audio("s1", "self", 2, 250));
  expectNothingThenPong();

  helper_->writeJson({{"type", "source.suppress"},
                      {"sessionId", "s1"},
                      {"source", "self"},
                      {"suppressed", false}});
  // The new channel's "session.ready" may come before or after "source.suppressed".
  auto resumed = helper_->readEvent();
  auto ready = helper_->readEvent();
  ASSERT_TRUE(resumed && ready);
  if ((*resumed)["type"] != "source.suppressed") std::swap(resumed, ready);
  EXPECT_EQ((*resumed)["type"], "source.suppressed");
  EXPECT_EQ((*resumed)["suppressed"], false);
  EXPECT_EQ((*ready)["type"], "session.ready");
  EXPECT_EQ((*ready)["source"], "self");
  helper_->writeJson(audio("s1", "self", 3, 500));
  auto after = helper_->readEvent();
  ASSERT_TRUE(after);
  EXPECT_EQ((*after)["type"], "transcript.partial");
  EXPECT_NE(epochOf(*before), epochOf(*after));
  EXPECT_EQ((*after)["startedAt"], 1000.0);  // the new channel's base is its first chunk

  // The chunk sent while suppressed reached no analyzer.
  EXPECT_EQ(analyzerLog("append").size(), 2u);
}

TEST_F(AnalyzerHelper, VocabularyIsCappedAtOneHundredStrings) {
  startReady(json::object());
  std::vector<std::string> words;
  for (int i = 0; i < 150; ++i) words.push_back("word" + std::to_string(i));
  startSession("s1", {{"vocabulary", words}});
  auto made = analyzerLog("made");
  ASSERT_EQ(made.size(), 2u);
  for (auto& line : made) {
    EXPECT_EQ(line["contextualStrings"],
              json(std::vector<std::string>(words.begin(), words.begin() + 100)));
    EXPECT_EQ(line["locale"], "ja-JP");
  }
}

TEST_F(AnalyzerHelper, ShutdownCancelsAndExitsZero) {
  startReady(json::object());
  startSession("s1");
  helper_->writeJson({{"type", "shutdown"}});
  auto status = helper_->wait();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_TRUE(helper_->readAllLines().empty());
  EXPECT_EQ(helper_->stderrText(), "");
}

}  // namespace
}  // namespace brimlow::testing
