// The whole helper on the legacy path, driven over pipes as a host drives it, with a scripted
// recognizer. The helper's clock follows the chunks' capture times, so the endpointing
// thresholds are crossed by the times on the chunks.
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "protocol/pcm_base64.h"
#include "tests/support/process.h"

namespace brimlow::testing {
namespace {

using nlohmann::json;

const std::string kHelper = "tests/legacy/brimlow-stt-helper-legacy-scripted";
constexpr double kT0 = 1'700'000'000'000.0;

const json kEndpointing = {{"provider", "apple-sfspeech"},
                           {"reason", "silence"},
                           {"threshold", 0.008},
                           {"minSilenceMs", 900}};

json partialAfter(size_t buffers, const std::string& text) {
  return {{"on", "buffers"}, {"buffers", buffers}, {"partial", text}};
}

class LegacyProcess : public ::testing::Test {
 protected:
  void TearDown() override {
    helper_.reset();
    if (!scenarioPath_.empty()) ::unlink(scenarioPath_.c_str());
  }

  // Starts the helper with a scenario and checks that its status comes first.
  json start(const json& scenario, std::map<std::string, std::optional<std::string>> env = {}) {
    char path[] = "/tmp/brimlow-legacy-scenario-XXXXXX";
    int fd = ::mkstemp(path);
    EXPECT_GE(fd, 0);
    ::close(fd);
    scenarioPath_ = path;
    std::ofstream(scenarioPath_) << scenario.dump();
    env["BRIMLOW_TEST_SCENARIO"] = scenarioPath_;
    if (!env.contains("BRIMLOW_STT_DEBUG")) env["BRIMLOW_STT_DEBUG"] = std::nullopt;
    helper_ = std::make_unique<ChildProcess>(binaryPath(kHelper),
                                             ChildProcess::Options{{}, std::move(env), false});
    auto status = helper_->readEvent();
    EXPECT_TRUE(status);
    EXPECT_EQ(status.value_or(json())["type"], "helper.status");
    return status.value_or(json());
  }
  json next() {
    auto event = helper_->readEvent();
    EXPECT_TRUE(event) << "no event";
    return event.value_or(json());
  }
  void startSession(const std::string& id) {
    helper_->writeJson({{"type", "session.start"}, {"sessionId", id}});
    json ready = next();
    EXPECT_EQ(ready["type"], "session.ready");
    EXPECT_EQ(ready["available"], true);
  }
  void audio(const std::string& session, const std::string& source, double at, bool voiced) {
    helper_->writeJson(
        {{"type", "audio"},
         {"sessionId", session},
         {"source", source},
         {"sequence", ++sequence_},
         {"capturedAt", at},
         {"pcmBase64", protocol::pcm16Base64(std::vector<int16_t>(4000, voiced ? 1000 : 0))}});
  }
  // Nothing else is written before the answer to a ping.
  void expectNothingMore() {
    helper_->writeJson({{"type", "ping"}, {"sentAt", 7}});
    json pong = next();
    EXPECT_EQ(pong["type"], "pong") << pong.dump();
  }

  std::unique_ptr<ChildProcess> helper_;
  std::string scenarioPath_;
  int64_t sequence_ = 0;
};

TEST_F(LegacyProcess, StatusComesFirstThenSessionsOpenAndAudioNeedsASession) {
  json status = start(json::object());
  EXPECT_EQ(status, (json{{"type", "helper.status"},
                          {"status", "ready"},
                          {"available", true},
                          {"implementation", "sf-speech-recognizer"},
                          {"authorization", "authorized"},
                          {"modelStatus", "installed"},
                          {"dictation", "enabled"},
                          {"message", "On-device Japanese speech recognition is ready."},
                          {"protocolVersion", 1}}));
  helper_->writeJson({{"type", "session.start"}, {"sessionId", "m1"}});
  EXPECT_EQ(next(), (json{{"type", "session.ready"},
                          {"sessionId", "m1"},
                          {"available", true},
                          {"implementation", "sf-speech-recognizer"},
                          {"locale", "ja-JP"}}));
  audio("m2", "remote", kT0, true);
  json error = next();
  EXPECT_EQ(error["type"], "helper.error");
  EXPECT_EQ(error["message"], "Audio received before session.start");
  EXPECT_EQ(error["sessionId"], "m2");
  EXPECT_EQ(error["source"], "remote");
  helper_->writeJson({{"type", "shutdown"}});
  auto exit = helper_->wait();
  EXPECT_TRUE(exit.exited);
  EXPECT_EQ(exit.code, 0);
}

TEST_F(LegacyProcess, AVoicedUtteranceGivesPartialsThenOneFinalAfter900MsOfSilence) {
  start({{"tasks",
          {{{"steps",
             {partialAfter(1, "こんにちは"),
              partialAfter(2, "こんにちは世界"),
              {{"on", "endAudio"},
               {"final", "こんにちは世界。"},
               {"segments", {{0.1, 0.5}, {0.6, 0.4}}}}}}}}}});
  startSession("m1");
  audio("m1", "self", kT0, true);
  json first = next();
  EXPECT_EQ(first["type"], "transcript.partial");
  EXPECT_EQ(first["text"], "こんにちは");
  EXPECT_EQ(first["source"], "self");
  EXPECT_EQ(first["startedAt"], kT0);  // no segments: the utterance's base
  const std::string id = first["utteranceId"];
  EXPECT_EQ(id.size(), 36u);
  audio("m1", "self", kT0 + 250, true);
  json second = next();
  EXPECT_EQ(second["text"], "こんにちは世界");
  EXPECT_EQ(second["utteranceId"], id);

  audio("m1", "self", kT0 + 1149, false);  // 899 ms after the last voice
  audio("m1", "self", kT0 + 1150, false);  // 900 ms: the end
  EXPECT_EQ(next(), (json{{"type", "transcript.final"},
                          {"sessionId", "m1"},
                          {"utteranceId", id},
                          {"source", "self"},
                          {"text", "こんにちは世界。"},
                          {"startedAt", kT0 + 100},
                          {"speechEndedAt", kT0 + 1000},
                          {"transcribedAt", kT0 + 1150},
                          {"latencyMs", 150},
                          {"endpointing", kEndpointing}}));
  expectNothingMore();
}

TEST_F(LegacyProcess, AnUtteranceThatNeverPausesIsCutAt20Seconds) {
  json task = {{"steps", {partialAfter(1, "話"), {{"on", "endAudio"}, {"final", "話した"}}}}};
  start({{"tasks", {task, task}}});
  startSession("m1");
  audio("m1", "remote", kT0, true);
  EXPECT_EQ(next()["type"], "transcript.partial");
  audio("m1", "remote", kT0 + 900, false);
  EXPECT_EQ(next()["endpointing"]["reason"], "silence");

  const double opened = kT0 + 5000;
  audio("m1", "remote", opened, true);
  json partial = next();
  EXPECT_EQ(partial["type"], "transcript.partial");
  audio("m1", "remote", opened + 10'000, true);
  audio("m1", "remote", opened + 19'999, true);
  audio("m1", "remote", opened + 20'000, true);
  json final = next();
  EXPECT_EQ(final["type"], "transcript.final");
  EXPECT_EQ(final["utteranceId"], partial["utteranceId"]);
  EXPECT_EQ(final["transcribedAt"], opened + 20'000);
  EXPECT_EQ(final["endpointing"]["reason"], "max-speech");
}

TEST_F(LegacyProcess, ATaskEndingWithoutAFinalGetsASyntheticFallbackFinal) {
  start(
      {{"tasks",
        {{{"steps",
           {partialAfter(1, "えっと"),
            {{"on", "endAudio"}, {"error", {{"code", 1110}, {"description", "No speech"}}}}}}}}}});
  startSession("m1");
  audio("m1", "self", kT0, true);
  json partial = next();
  audio("m1", "self", kT0 + 2000, false);
  json final = next();
  EXPECT_EQ(final["type"], "transcript.final");
  EXPECT_EQ(final["utteranceId"], partial["utteranceId"]);
  EXPECT_EQ(final["text"], "えっと");
  EXPECT_EQ(final["startedAt"], kT0);
  EXPECT_EQ(final["speechEndedAt"], kT0);
  EXPECT_EQ(final["latencyMs"], 2000);
  EXPECT_EQ(final["endpointing"]["reason"], "fallback");
  expectNothingMore();  // "no speech" is no failure
}

TEST_F(LegacyProcess, StoppingASessionFlushesItsTextThenConfirms) {
  start({{"taskDefault", {{"steps", {partialAfter(1, "途中")}}}}});
  startSession("m1");
  audio("m1", "remote", kT0, true);
  json partial = next();
  helper_->writeJson({{"type", "session.stop"}, {"sessionId", "m1"}});
  json final = next();
  EXPECT_EQ(final["type"], "transcript.final");
  EXPECT_EQ(final["utteranceId"], partial["utteranceId"]);
  EXPECT_EQ(final["endpointing"]["reason"], "flush");
  json stopped = next();
  EXPECT_EQ(stopped, (json{{"type", "session.stopped"}, {"sessionId", "m1"}, {"at", kT0}}));
  EXPECT_EQ(next(), (json{{"type", "session.finished"}, {"sessionId", "m1"}, {"at", kT0}}));
  helper_->writeJson({{"type", "session.stop"}, {"sessionId", "m1"}});
  expectNothingMore();
}

TEST_F(LegacyProcess, MutingDiscardsTheUtteranceAndUnmutingStartsANewOne) {
  start({{"taskDefault", {{"steps", {partialAfter(1, "聞こえる")}}}}});
  startSession("m1");
  audio("m1", "self", kT0, true);
  json partial = next();
  helper_->writeJson(
      {{"type", "source.suppress"}, {"sessionId", "m1"}, {"source", "self"}, {"suppressed", true}});
  EXPECT_EQ(next(), (json{{"type", "source.suppressed"},
                          {"sessionId", "m1"},
                          {"source", "self"},
                          {"suppressed", true},
                          {"at", kT0}}));
  audio("m1", "self", kT0 + 250, true);
  audio("m1", "self", kT0 + 5000, false);
  expectNothingMore();

  helper_->writeJson({{"type", "source.suppress"},
                      {"sessionId", "m1"},
                      {"source", "self"},
                      {"suppressed", false}});
  EXPECT_EQ(next()["suppressed"], false);
  audio("m1", "self", kT0 + 6000, true);
  json again = next();
  EXPECT_EQ(again["type"], "transcript.partial");
  EXPECT_NE(again["utteranceId"], partial["utteranceId"]);
  // Stopping flushes only the new utterance.
  helper_->writeJson({{"type", "session.stop"}, {"sessionId", "m1"}});
  EXPECT_EQ(next()["utteranceId"], again["utteranceId"]);
  EXPECT_EQ(next()["type"], "session.stopped");
}

TEST_F(LegacyProcess, DictationOffGivesOneNoticePerSourceAndNothingMoreWhileItStaysOff) {
  const json off = {{"steps", {{{"error", {{"code", 1700}, {"description", "Dictation off"}}}}}}};
  json status = start({{"probeDefault", off}});
  const std::string setup =
      "macOS Dictation is disabled. Turn it on in System Settings > Keyboard > Dictation, then "
      "retry.";
  EXPECT_EQ(status["status"], "setup-required");
  EXPECT_EQ(status["available"], false);
  EXPECT_EQ(status["dictation"], "disabled");
  EXPECT_EQ(status["message"], setup);

  helper_->writeJson({{"type", "session.start"}, {"sessionId", "m1"}});
  json ready = next();
  EXPECT_EQ(ready["type"], "session.ready");
  EXPECT_EQ(ready["available"], false);
  EXPECT_EQ(next()["type"], "helper.status");

  for (const std::string source : {"self", "remote"}) {
    audio("m1", source, kT0, true);
    json notice = next();
    EXPECT_EQ(notice["type"], "helper.error");
    EXPECT_EQ(notice["message"], setup);
    EXPECT_EQ(notice["sessionId"], "m1");
    EXPECT_EQ(notice["source"], source);
    json again = next();
    EXPECT_EQ(again["type"], "helper.status");
    EXPECT_EQ(again["dictation"], "disabled");
  }
  for (int i = 1; i <= 3; ++i) {
    audio("m1", "self", kT0 + 250 * i, true);
    audio("m1", "remote", kT0 + 250 * i, true);
  }
  expectNothingMore();
}

TEST_F(LegacyProcess, DictationTurnedBackOnIsNoticedByTheFirstChunk30SecondsLater) {
  const json off = {{"steps", {{{"error", {{"code", 1700}, {"description", "Dictation off"}}}}}}};
  json status =
      start({{"probe", {off}}, {"taskDefault", {{"steps", {partialAfter(1, "戻った")}}}}});
  EXPECT_EQ(status["dictation"], "disabled");
  helper_->writeJson({{"type", "session.start"}, {"sessionId", "m1"}});
  EXPECT_EQ(next()["available"], false);
  EXPECT_EQ(next()["type"], "helper.status");
  audio("m1", "self", kT0 + 29'999, true);
  EXPECT_EQ(next()["type"], "helper.error");
  EXPECT_EQ(next()["type"], "helper.status");
  audio("m1", "self", kT0 + 30'000, true);
  json back = next();
  EXPECT_EQ(back["type"], "helper.status");
  EXPECT_EQ(back["status"], "ready");
  EXPECT_EQ(back["dictation"], "enabled");
  json partial = next();
  EXPECT_EQ(partial["type"], "transcript.partial");
  EXPECT_EQ(partial["text"], "戻った");
}

TEST_F(LegacyProcess, DebugLinesGoToStderrOnlyWhenAskedForWithExactlyOne) {
  const json task = {{"steps", {partialAfter(1, "T"), {{"on", "endAudio"}, {"final", " "}}}}};
  for (const std::string value : {"1", "true", "01"}) {
    SCOPED_TRACE(value);
    start({{"tasks", {task}}}, {{"BRIMLOW_STT_DEBUG", value}});
    startSession("m1");
    audio("m1", "self", kT0, true);
    EXPECT_EQ(next()["type"], "transcript.partial");
    audio("m1", "self", kT0 + 900, false);
    json final = next();
    EXPECT_EQ(final["text"], "T");
    EXPECT_EQ(final["endpointing"]["reason"], "fallback");
    helper_->closeStdin();
    auto exit = helper_->wait();
    EXPECT_EQ(exit.code, 0);
    const std::string expected =
        value == "1" ? "[stt-debug] endpoint reason=silence lastText=T\n"
                       "[stt-debug] final with empty text lastText=T\n"
                       "[stt-debug] task end final=true error=none lastText=T emitted=false\n"
                     : "";
    EXPECT_EQ(helper_->stderrText(), expected);
  }
}

TEST_F(LegacyProcess, EndOfInputFlushesOpenUtterancesWithoutStoppedEvents) {
  start({{"taskDefault", {{"steps", {partialAfter(1, "最後")}}}}});
  startSession("m1");
  audio("m1", "self", kT0, true);
  EXPECT_EQ(next()["type"], "transcript.partial");
  helper_->closeStdin();
  auto rest = helper_->readAllLines();
  ASSERT_EQ(rest.size(), 1u);
  json final = json::parse(rest[0]);
  EXPECT_EQ(final["endpointing"]["reason"], "flush");
  EXPECT_EQ(helper_->wait().code, 0);
}

TEST_F(LegacyProcess, TaskFailuresAreReportedWithTheServicesDescription) {
  start({{"tasks",
          {{{"steps",
             {partialAfter(1, "あ"),
              {{"on", "endAudio"},
               {"error", {{"code", 203}, {"description", "Recognizer busy"}}}}}}}}}});
  startSession("m1");
  audio("m1", "remote", kT0, true);
  next();
  audio("m1", "remote", kT0 + 900, false);
  json error = next();
  EXPECT_EQ(error["type"], "helper.error");
  EXPECT_EQ(error["message"], "Speech recognition failed: Recognizer busy");
  EXPECT_EQ(error["sessionId"], "m1");
  EXPECT_EQ(error["source"], "remote");
  EXPECT_EQ(next()["endpointing"]["reason"], "fallback");
}

}  // namespace
}  // namespace brimlow::testing
