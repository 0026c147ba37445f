// brimlow-audio-capture driven over pipes as the host drives it: usage, health, the start
// failures, every stop path, ignored lines, a stream stopped by the system, and the chunk lines
// that the speech helper takes as they stand. The capture source is scripted here; the real one
// has its own tests against a private sound server.
#include <signal.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "protocol/pcm_payload.h"
#include "tests/support/process.h"

namespace brimlow::testing {
namespace {

using nlohmann::json;

const std::string kProduct = "audio-capture/brimlow-audio-capture";
const std::string kScripted = "tests/capture/brimlow-audio-capture-scripted";
const std::string kUsage = "Usage: brimlow-audio-capture --health | --capture";

std::unique_ptr<ChildProcess> startScripted(const std::string& script,
                                            std::vector<std::string> args = {"--capture"}) {
  return std::make_unique<ChildProcess>(
      binaryPath(kScripted),
      ChildProcess::Options{std::move(args), {{"BRIMLOW_CAPTURE_SCRIPT", script}}, false});
}

void expectStatus(const std::optional<json>& event, const std::string& state) {
  ASSERT_TRUE(event) << "no event, expected " << state;
  EXPECT_EQ((*event)["type"], "capture.status") << event->dump();
  EXPECT_EQ((*event)["state"], state) << event->dump();
}

// Reads "requesting", "started" and the four chunks of a 1.1 s script.
std::vector<json> readStartAndChunks(ChildProcess& capture) {
  expectStatus(capture.readEvent(), "requesting");
  auto started = capture.readEvent();
  expectStatus(started, "started");
  if (started) {
    EXPECT_EQ((*started)["available"], true);
    EXPECT_EQ((*started)["message"], "Macのシステム音声を取得しています。");
  }
  std::vector<json> chunks;
  for (int i = 0; i < 4; ++i) {
    auto chunk = capture.readEvent();
    if (!chunk) break;
    chunks.push_back(*chunk);
  }
  EXPECT_EQ(chunks.size(), 4u);
  return chunks;
}

void expectStoppedAndExitZero(ChildProcess& capture) {
  auto stopped = capture.readEvent();
  expectStatus(stopped, "stopped");
  if (stopped) {
    EXPECT_EQ((*stopped)["available"], false);
    EXPECT_EQ((*stopped)["message"], "システム音声の取得を停止しました。");
    EXPECT_EQ(stopped->size(), 5u);
  }
  auto status = capture.wait();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_TRUE(capture.readAllLines().empty());
  EXPECT_EQ(capture.stderrText(), "");
}

TEST(CaptureUsage, AMissingOrUnknownModeIsAnErrorLineAndExit64) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"--Health"}, {"health"}, {"--CAPTURE"}, {"capture"}, {""}, {"--capture-now"}}) {
    ChildProcess capture(binaryPath(kProduct), args);
    auto lines = capture.readAllLines();
    ASSERT_EQ(lines.size(), 1u);
    json event = json::parse(lines[0]);
    EXPECT_EQ(event["type"], "capture.error");
    EXPECT_EQ(event["message"], kUsage);
    EXPECT_TRUE(event["at"].is_number_float());
    EXPECT_EQ(event.size(), 3u);
    auto status = capture.wait();
    EXPECT_EQ(status.code, 64);
    EXPECT_EQ(capture.stderrText(), "");
  }
}

TEST(CaptureHealth, WithoutASoundServerPermissionIsNotDetermined) {
  ChildProcess capture(
      binaryPath(kProduct),
      ChildProcess::Options{
          {"--health", "--capture"}, {{"PULSE_SERVER", "unix:/nonexistent/brimlow"}}, false});
  auto lines = capture.readAllLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            R"({"available":true,"chunkMs":250,"implementation":"ScreenCaptureKit",)"
            R"("permission":"not-determined","sampleRate":16000,"type":"capture.health"})");
  EXPECT_EQ(capture.wait().code, 0);
  EXPECT_EQ(capture.stderrText(), "");
}

TEST(CaptureHealth, AScriptedServiceThatAllowsCaptureIsAuthorized) {
  auto capture = startScripted("48k-stereo-float", {"--health"});
  auto event = capture->readEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ((*event)["permission"], "authorized");
  EXPECT_TRUE((*event)["sampleRate"].is_number_integer());
  EXPECT_TRUE((*event)["chunkMs"].is_number_integer());
  EXPECT_EQ(capture->wait().code, 0);
}

TEST(CaptureStart, EachInputFormatGivesFourSequencedChunksAfterStarted) {
  for (const std::string script : {"48k-stereo-float", "44k-stereo-float", "16k-mono-int16"}) {
    SCOPED_TRACE(script);
    auto capture = startScripted(script, {"--capture", "--health"});
    auto chunks = readStartAndChunks(*capture);
    for (size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i]["type"], "capture.audio");
      EXPECT_EQ(chunks[i]["source"], "remote");
      EXPECT_EQ(chunks[i]["sequence"], static_cast<int64_t>(i));
      EXPECT_EQ(chunks[i]["pcmBase64"].get<std::string>().size(), 10668u);
      EXPECT_EQ(chunks[i].size(), 6u);
    }
    // A 0.5 tone is loud: rms 0.35, level limited to 1.
    EXPECT_EQ(chunks.back()["level"], 1.0);
    EXPECT_TRUE(capture->quietFor(300ms));  // the rest is under one chunk
    capture->writeLine(R"({"type":"stop"})");
    expectStoppedAndExitZero(*capture);
  }
}

TEST(CaptureStart, NoOutputToRecordIsAnErrorAndExit1WithoutStarted) {
  auto capture = startScripted("no-display");
  expectStatus(capture->readEvent(), "requesting");
  auto lines = capture->readAllLines();
  ASSERT_EQ(lines.size(), 1u);
  json error = json::parse(lines[0]);
  EXPECT_EQ(error["type"], "capture.error");
  EXPECT_EQ(error["message"], "取得対象のディスプレイが見つかりません。");
  EXPECT_EQ(capture->wait().code, 1);
}

TEST(CaptureStart, AFailedContentQueryOrStartIsReportedWithItsDescriptionAndExit1) {
  for (const auto& [script, message] :
       {std::pair{"content-fails",
                  "The user declined TCCs for application, window, display capture"},
        std::pair{"start-fails", "Failed to start the stream."}}) {
    auto capture = startScripted(script);
    expectStatus(capture->readEvent(), "requesting");
    auto lines = capture->readAllLines();
    ASSERT_EQ(lines.size(), 1u) << script;
    EXPECT_EQ(json::parse(lines[0])["message"], message);
    EXPECT_EQ(capture->wait().code, 1);
  }
}

class StopPath : public ::testing::Test {
 protected:
  void SetUp() override {
    capture_ = startScripted("48k-stereo-float");
    readStartAndChunks(*capture_);
  }
  std::unique_ptr<ChildProcess> capture_;
};

TEST_F(StopPath, StopLine) {
  capture_->writeLine(R"({"type":"stop"})");
  expectStoppedAndExitZero(*capture_);
}

TEST_F(StopPath, ShutdownLineWithFurtherMembers) {
  capture_->writeLine(R"({"reason":"quit","type":"shutdown"})");
  expectStoppedAndExitZero(*capture_);
}

TEST_F(StopPath, EndOfInput) {
  capture_->closeStdin();
  expectStoppedAndExitZero(*capture_);
}

TEST_F(StopPath, Sigint) {
  capture_->sendSignal(SIGINT);
  expectStoppedAndExitZero(*capture_);
}

TEST_F(StopPath, Sigterm) {
  capture_->sendSignal(SIGTERM);
  expectStoppedAndExitZero(*capture_);
}

TEST_F(StopPath, OtherLinesAreIgnoredWithoutAnAnswer) {
  for (const char* line : {R"({"type":"Stop"})", R"({"type":"ping"})", R"({"type":1})", "{}",
                           "stop", R"(["stop"])", "", R"({"type":"stop")"})
    capture_->writeLine(line);
  EXPECT_TRUE(capture_->quietFor(300ms));
  capture_->writeLine(R"({"type":"stop"})");
  expectStoppedAndExitZero(*capture_);
}

TEST(CaptureStop, AStopBeforeTheStreamExistsExitsZeroWithoutStopped) {
  for (bool bySignal : {false, true}) {
    auto capture = startScripted("content-hangs");
    expectStatus(capture->readEvent(), "requesting");
    if (bySignal)
      capture->sendSignal(SIGTERM);
    else
      capture->writeLine(R"({"type":"stop"})");
    EXPECT_TRUE(capture->readAllLines().empty());
    auto status = capture->wait();
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);
  }
}

TEST(CaptureStop, AStreamTheSystemStopsIsReportedOnceAndTheProgramWaitsForStop) {
  auto capture = startScripted("stop-fails");
  readStartAndChunks(*capture);
  capture->sendSignal(SIGUSR1);  // the scripted system ends the stream
  auto error = capture->readEvent();
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["type"], "capture.error");
  EXPECT_EQ((*error)["message"],
            "システム音声の取得が停止しました: The stream was stopped by the system.");
  EXPECT_TRUE(capture->quietFor(300ms));
  capture->writeLine(R"({"type":"stop"})");
  auto stopError = capture->readEvent();
  ASSERT_TRUE(stopError);
  EXPECT_EQ((*stopError)["message"],
            "システム音声の停止処理に失敗しました: The stream is not running.");
  expectStoppedAndExitZero(*capture);
}

TEST(CaptureChunks, TheSpeechHelperTakesTheirFieldsAsTheyStand) {
  auto capture = startScripted("44k-stereo-float");
  auto chunks = readStartAndChunks(*capture);
  ASSERT_FALSE(chunks.empty());
  ChildProcess helper(binaryPath("tests/helper/brimlow-stt-helper-recording"));
  ASSERT_TRUE(helper.readEvent());  // its status
  for (const auto& chunk : chunks) {
    helper.writeJson({{"type", "audio"},
                      {"sessionId", "s1"},
                      {"source", "remote"},
                      {"sequence", chunk["sequence"]},
                      {"capturedAt", chunk["capturedAt"]},
                      {"pcmBase64", chunk["pcmBase64"]}});
    auto call = helper.readEvent();
    ASSERT_TRUE(call);
    EXPECT_EQ((*call)["op"], "appendAudio") << call->dump();
    EXPECT_EQ((*call)["sequence"], chunk["sequence"]);
    EXPECT_EQ((*call)["capturedAt"], chunk["capturedAt"]);
    EXPECT_EQ((*call)["pcmBase64"], chunk["pcmBase64"]);
    auto pcm = stt::makePCMBuffer(chunk["pcmBase64"].get<std::string>());
    ASSERT_TRUE(pcm.has_value());
    EXPECT_EQ((*pcm)->frameLength(), 4000u);
  }
  capture->writeLine(R"({"type":"shutdown"})");
  expectStoppedAndExitZero(*capture);
}

TEST(CaptureExecutable, CarriesItsPropertyListInAReadOnlySection) {
  const std::string out = ::testing::TempDir() + "brimlow-info-plist.xml";
  ChildProcess objcopy("/usr/bin/objcopy",
                       {"-O", "binary", "--only-section=__info_plist", binaryPath(kProduct), out});
  ASSERT_EQ(objcopy.wait().code, 0) << objcopy.stderrText();
  std::ifstream file(out, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  std::string plist = text.str();
  EXPECT_NE(plist.find("<key>CFBundleIdentifier</key>"), std::string::npos) << plist;
  EXPECT_NE(plist.find("<key>CFBundleName</key>"), std::string::npos);
  EXPECT_NE(plist.find("<key>NSScreenCaptureUsageDescription</key>\n\t<string>"
                       "会議相手の音声をこのMac内でリアルタイムに文字起こしするために、"
                       "システムオーディオを取得します。</string>"),
            std::string::npos);

  ChildProcess readelf("/usr/bin/readelf", {"-S", "-W", binaryPath(kProduct)});
  std::string sections;
  for (const auto& line : readelf.readAllLines()) sections += line + "\n";
  auto at = sections.find("__info_plist");
  ASSERT_NE(at, std::string::npos);
  std::string row = sections.substr(at, sections.find('\n', at) - at);
  EXPECT_NE(row.find(" A "), std::string::npos) << row;  // allocated, not writable
  EXPECT_EQ(row.find("W"), std::string::npos) << row;
}

}  // namespace
}  // namespace brimlow::testing
