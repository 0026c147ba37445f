// The helper's command loop driven over pipes, as a host drives it.
#include <signal.h>

#include <gtest/gtest.h>

#include "protocol/pcm_base64.h"
#include "tests/support/process.h"

namespace brimlow::testing {
namespace {

using nlohmann::json;

const std::string kRecording = "tests/helper/brimlow-stt-helper-recording";

class CommandLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    helper_ = std::make_unique<ChildProcess>(binaryPath(kRecording));
    auto first = helper_->readEvent();
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, (json{{"type", "test.call"}, {"op", "emitStatus"}}));
  }
  // Sends one line and returns the one event it produces.
  json roundTrip(const std::string& line) {
    helper_->writeLine(line);
    auto event = helper_->readEvent();
    EXPECT_TRUE(event) << "no answer to " << line;
    return event.value_or(json());
  }
  // Sends lines that must produce nothing, then a ping whose pong must come next.
  void expectSilentThenPong(const std::vector<std::string>& lines) {
    for (const auto& line : lines) helper_->writeLine(line);
    auto pong = roundTrip(R"({"type":"ping","sentAt":42})");
    EXPECT_EQ(pong["type"], "pong");
    EXPECT_EQ(pong["sentAt"], 42);
  }
  void expectError(const std::string& line, const std::string& message) {
    json event = roundTrip(line);
    EXPECT_EQ(event["type"], "helper.error") << line;
    EXPECT_EQ(event["message"], message) << line;
    EXPECT_EQ(event.size(), 3u) << event.dump();  // at, message, type: never session or source
    EXPECT_TRUE(event["at"].is_number());
  }
  std::unique_ptr<ChildProcess> helper_;
};

TEST_F(CommandLoop, PingAnswersWithSentAtAndHelperTimeInSortedKeyOrder) {
  helper_->writeLine(R"({"type":"ping","sentAt":1700000000123.5})");
  auto line = helper_->readLine();
  ASSERT_TRUE(line);
  EXPECT_TRUE(line->starts_with("{\"helperAt\":")) << *line;
  EXPECT_NE(line->find(",\"sentAt\":1700000000123.5,\"type\":\"pong\"}"), std::string::npos)
      << *line;

  json pong = roundTrip(R"({"type":"ping"})");
  EXPECT_EQ(pong["sentAt"], 0);
  EXPECT_GT(pong["helperAt"].get<double>(), 1.6e12);
  EXPECT_EQ(pong.size(), 3u);
}

TEST_F(CommandLoop, BlankLinesGiveNothing) {
  expectSilentThenPong({"", "   ", "\t \r"});
}

TEST_F(CommandLoop, UndecodableLinesGiveOneInvalidJsonErrorEachAndTheLoopGoesOn) {
  for (const std::string line :
       {"{not json", R"({"type":"audio","sessionId":7})", R"({"type":"ping","source":"Self"})",
        R"({"sessionId":"s"})", "[1,2]", R"({"type":"ping","sequence":3.5})"}) {
    json event = roundTrip(line);
    EXPECT_EQ(event["type"], "helper.error") << line;
    EXPECT_TRUE(event["message"].get<std::string>().starts_with("Invalid JSON command: "))
        << event.dump();
    EXPECT_FALSE(event.contains("sessionId"));
  }
  expectSilentThenPong({});
}

TEST_F(CommandLoop, ANulByteAnywhereMakesTheLineInvalid) {
  using namespace std::string_literals;
  for (const std::string& line : {"{\"type\":\"ping\"}\0"s, "{\"type\":\"ping\"}\0{}"s,
                                  "{\"type\":\"ping\"} \0 "s, "\0{\"type\":\"ping\"}"s}) {
    json event = roundTrip(line);
    EXPECT_EQ(event["type"], "helper.error") << event.dump();
    EXPECT_TRUE(event["message"].get<std::string>().starts_with("Invalid JSON command: "))
        << event.dump();
  }
  expectSilentThenPong({});
}

TEST_F(CommandLoop, MissingFieldsGiveTheirExactMessagesAndReachNoBackend) {
  expectError(R"({"type":"session.start"})", "session.start requires sessionId");
  expectError(R"({"type":"audio","sessionId":"s","source":"self","sequence":1,"pcmBase64":""})",
              "audio requires sessionId, source, sequence, capturedAt, and pcmBase64");
  expectError(R"({"type":"source.suppress","sessionId":"s","source":"remote"})",
              "source.suppress requires sessionId, source, and suppressed");
  expectError(R"({"type":"session.stop","source":"remote"})", "session.stop requires sessionId");
  expectError(R"({"type":"session.start","sessionId":null})", "session.start requires sessionId");
}

TEST_F(CommandLoop, CommandsReachTheBackendWithDefaultsAndExactValues) {
  EXPECT_EQ(roundTrip(R"({"type":"session.start","sessionId":"s1"})"),
            (json{{"type", "test.call"},
                  {"op", "startSession"},
                  {"id", "s1"},
                  {"locale", "ja-JP"},
                  {"vocabulary", json::array()},
                  {"echoCancellation", true}}));
  const json second = roundTrip(R"({"type":"session.start","sessionId":"s2","locale":"en-US",)"
                                R"("vocabulary":["Brimlow","k8s"],"echoCancellation":false})");
  EXPECT_EQ(second["vocabulary"], (json{"Brimlow", "k8s"}));
  EXPECT_EQ(second["echoCancellation"], false);
  EXPECT_EQ(roundTrip(R"({"type":"audio","sessionId":"s1","source":"self","sequence":9,)"
                      R"("capturedAt":1700000000000,"pcmBase64":"AAA=","level":0.3})"),
            (json{{"type", "test.call"},
                  {"op", "appendAudio"},
                  {"sessionId", "s1"},
                  {"source", "self"},
                  {"sequence", 9},
                  {"capturedAt", 1700000000000.0},
                  {"pcmBase64", "AAA="}}));
  // false is a value, not a missing field
  EXPECT_EQ(roundTrip(R"({"type":"source.suppress","sessionId":"s1","source":"remote",)"
                      R"("suppressed":false})"),
            (json{{"type", "test.call"},
                  {"op", "setSuppressed"},
                  {"sessionId", "s1"},
                  {"source", "remote"},
                  {"suppressed", false}}));
  EXPECT_EQ(roundTrip(R"({"type":"session.stop","sessionId":"s1"})")["op"], "stopSession");
}

TEST_F(CommandLoop, UnsupportedTypeCarriesTheCommandsSessionAndSource) {
  json event = roundTrip(R"({"type":"session.pause","sessionId":"s/1","source":"self"})");
  EXPECT_EQ(event["message"], "Unsupported command type: session.pause");
  EXPECT_EQ(event["sessionId"], "s/1");
  EXPECT_EQ(event["source"], "self");
  json bare = roundTrip(R"({"type":"Ping"})");
  EXPECT_EQ(bare["message"], "Unsupported command type: Ping");
  EXPECT_FALSE(bare.contains("sessionId"));
  EXPECT_FALSE(bare.contains("source"));
}

TEST_F(CommandLoop, ShutdownStopsAllExitsZeroAndIgnoresLaterLines) {
  helper_->write(
      "{\"type\":\"shutdown\"}\n{\"type\":\"ping\"}\n{\"type\":\"session.start\",\"sessionId\":"
      "\"late\"}\n");
  EXPECT_EQ(helper_->readAllLines(),
            (std::vector<std::string>{R"({"op":"stopAll","type":"test.call"})"}));
  auto status = helper_->wait();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(helper_->stderrText(), "");
}

TEST_F(CommandLoop, EndOfInputRunsQueuedCommandsThenStopsAllAndExitsZero) {
  helper_->write(
      "{\"type\":\"session.start\",\"sessionId\":\"a\"}\r\n{\"type\":\"session.stop\","
      "\"sessionId\":\"a\"}");  // last line without a line feed still counts
  helper_->closeStdin();
  auto lines = helper_->readAllLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(json::parse(lines[0])["op"], "startSession");
  EXPECT_EQ(json::parse(lines[1])["op"], "stopSession");
  EXPECT_EQ(json::parse(lines[2])["op"], "stopAll");
  auto status = helper_->wait();
  EXPECT_EQ(status.code, 0);
}

TEST_F(CommandLoop, JapaneseSlashAndLineFeedAreWrittenAsOneRawLine) {
  helper_->writeLine("{\"type\":\"会議/\\n議事\",\"sessionId\":\"日本/語\"}");
  auto line = helper_->readLine();
  ASSERT_TRUE(line);
  EXPECT_NE(line->find("\"message\":\"Unsupported command type: 会議/\\n議事\""), std::string::npos)
      << *line;
  EXPECT_NE(line->find("\"sessionId\":\"日本/語\""), std::string::npos) << *line;
  EXPECT_EQ(line->find("\\/"), std::string::npos);
  EXPECT_EQ(line->find("\\u"), std::string::npos);
}

TEST_F(CommandLoop, LongAudioLinesAreReadWhole) {
  std::vector<int16_t> samples(16000 * 5, 1234);  // 5 s in one line, ~213 kB
  json command = {{"type", "audio"},    {"sessionId", "s"},
                  {"source", "remote"}, {"sequence", 1},
                  {"capturedAt", 1.5},  {"pcmBase64", protocol::pcm16Base64(samples)}};
  json event = roundTrip(command.dump());
  EXPECT_EQ(event["pcmBase64"], command["pcmBase64"]);
}

TEST(HelperSignals, TermAndIntLetTheLineBeingWrittenFinishThenEndTheHelperBySignal) {
  std::vector<int16_t> samples(16000 * 5, 1234);
  json command = {{"type", "audio"},    {"sessionId", "s"},
                  {"source", "remote"}, {"sequence", 1},
                  {"capturedAt", 1.5},  {"pcmBase64", protocol::pcm16Base64(samples)}};
  for (int signal : {SIGTERM, SIGINT}) {
    ChildProcess helper(binaryPath(kRecording));
    ASSERT_TRUE(helper.readEvent());
    // Each echo is larger than a pipe holds, so the first one is still being written when
    // output appears and nothing reads it.
    for (int i = 0; i < 3; ++i) helper.writeJson(command);
    ASSERT_TRUE(helper.waitForOutput());
    helper.sendSignal(signal);
    auto lines = helper.readAllLines();
    ASSERT_FALSE(lines.empty()) << "signal " << signal;
    for (const auto& line : lines) {
      json event = json::parse(line, nullptr, false);
      ASSERT_FALSE(event.is_discarded()) << "torn line of " << line.size() << " bytes";
      EXPECT_EQ(event["pcmBase64"], command["pcmBase64"]);
    }
    auto status = helper.wait();
    EXPECT_FALSE(status.exited) << "exit code " << status.code;
    EXPECT_EQ(status.signal, signal);
  }
}

TEST(HelperModes, ProductBinaryStartsStreamingWithItsStatusFirst) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"--unknown-option"}}) {
    ChildProcess helper(binaryPath("stt-helper/brimlow-stt-helper"), args);
    auto first = helper.readEvent();
    ASSERT_TRUE(first);
    EXPECT_EQ((*first)["type"], "helper.status");
    helper.closeStdin();
    EXPECT_EQ(helper.wait().code, 0);
  }
}

TEST(HelperModes, ResearchModeCountsItsArgumentsFirst) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--research-transcribe-file"},
        std::vector<std::string>{"--research-transcribe-file", "a.wav"},
        std::vector<std::string>{"--research-transcribe-file", "a.wav", "v.json", "extra"}}) {
    for (const char* version : {"26.0", "15.0"}) {
      ChildProcess helper(binaryPath("stt-helper/brimlow-stt-helper"),
                          ChildProcess::Options{args, {{"BRIMLOW_PLATFORM_VERSION", version}}});
      auto lines = helper.readAllLines();
      ASSERT_EQ(lines.size(), 1u);
      json event = json::parse(lines[0]);
      EXPECT_EQ(event["message"],
                "Usage: --research-transcribe-file <wav-path> <vocabulary-json-path>");
      EXPECT_EQ(helper.wait().code, 2);
    }
  }
}

}  // namespace
}  // namespace brimlow::testing
