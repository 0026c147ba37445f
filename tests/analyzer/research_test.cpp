// "--research-transcribe-file": the feeding loop in process, the whole mode over pipes.
#include "stt-helper/analyzer/research.h"

#include <regex>

#include "tests/analyzer/process_fixture.h"

namespace brimlow::testing {
namespace {

using nlohmann::json;

TEST(ResearchFeed, TenThousandFramesAreThreeChunksAtTheirFileTimes) {
  TempDir dir;
  writeWav(dir.path("a.wav"), 16000, 1, 10000);
  auto file = audio::AudioFile::openForReading(dir.path("a.wav"));
  ASSERT_TRUE(file);
  EXPECT_EQ((*file)->processingFormat(),
            (audio::AudioFormat{16000, 1, audio::SampleFormat::float32}));
  EXPECT_EQ((*file)->length(), 10000);
  std::vector<std::pair<uint32_t, double>> chunks;
  std::vector<audio::PcmBufferPtr> buffers;
  auto error = stt::feedResearchFile(**file, [&](const audio::PcmBufferPtr& buffer, double at) {
    chunks.emplace_back(buffer->frameLength(), at);
    buffers.push_back(buffer);
    return std::optional<speech::SpeechError>();
  });
  EXPECT_FALSE(error);
  EXPECT_EQ(chunks,
            (std::vector<std::pair<uint32_t, double>>{{4000, 0.0}, {4000, 250.0}, {2000, 500.0}}));
  // Each chunk is a buffer of its own holding the file's samples, scaled to [-1, 1).
  EXPECT_NE(buffers[0].get(), buffers[1].get());
  EXPECT_EQ(buffers[1]->floatChannelData(0)[1], 4001 % 2000 / 32768.0f);
  EXPECT_EQ((*file)->framePosition(), 10000);
}

TEST(ResearchFeed, AFailedAppendStopsTheLoop) {
  TempDir dir;
  writeWav(dir.path("a.wav"), 16000, 1, 10000);
  auto file = audio::AudioFile::openForReading(dir.path("a.wav"));
  ASSERT_TRUE(file);
  int calls = 0;
  speech::SpeechError failure{"X", 1, "no"};
  auto error = stt::feedResearchFile(**file, [&](const audio::PcmBufferPtr&, double) {
    ++calls;
    return std::optional<speech::SpeechError>(failure);
  });
  EXPECT_EQ(error, failure);
  EXPECT_EQ(calls, 1);
}

TEST(ResearchFeed, UnreadableFilesFailWithTheirPath) {
  auto missing = audio::AudioFile::openForReading("/nonexistent/a.wav");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(
      missing.error().description.starts_with("Cannot open audio file /nonexistent/a.wav: "))
      << missing.error().description;
}

std::string vocabulary(int count) {
  json words = json::array();
  for (int i = 0; i < count; ++i) words.push_back("用語" + std::to_string(i));
  return words.dump();
}

class Research : public ScriptedHelperTest {
 protected:
  // Runs the mode to its end; returns every event and the exit code.
  std::pair<std::vector<json>, int> run(
      const json& script, const std::string& wav, const std::string& vocabularyText,
      std::map<std::string, std::optional<std::string>> env = {}) {
    writeText(dir_.path("vocabulary.json"), vocabularyText);
    start(script, {"--research-transcribe-file", wav, dir_.path("vocabulary.json")}, env);
    std::vector<json> events;
    for (const auto& line : helper_->readAllLines()) events.push_back(json::parse(line));
    auto status = helper_->wait();
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(helper_->stderrText(), "");
    return {events, status.code};
  }
  void expectFailure(const std::pair<std::vector<json>, int>& outcome, const std::string& message) {
    ASSERT_EQ(outcome.first.size(), 1u);
    EXPECT_EQ(outcome.first[0]["type"], "helper.error");
    EXPECT_EQ(outcome.first[0]["message"], message);
    EXPECT_EQ(outcome.first[0].size(), 3u);
    EXPECT_EQ(outcome.second, 1);
  }
  const json kPassThrough = {{"bestFormat", {{"sampleRate", 16000}, {"sampleFormat", "float32"}}}};
};

TEST_F(Research, OneHundredTermsAreAcceptedAndCounted) {
  writeWav(dir_.path("a.wav"), 16000, 1, 10000);
  json script = kPassThrough;
  script["results"] = {{{"text", "議事録"}, {"start", 0.5}, {"duration", 0.1}, {"final", true}}};
  auto [events, code] = run(script, dir_.path("a.wav"), vocabulary(100));
  EXPECT_EQ(code, 0);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["type"], "transcript.final");
  EXPECT_EQ(events[0]["sessionId"], "research");
  EXPECT_EQ(events[0]["source"], "remote");
  EXPECT_TRUE(std::regex_match(events[0]["utteranceId"].get<std::string>(),
                               std::regex("research-remote-[0-9A-F]{8}-500")));
  // Times are offsets from the start of the file.
  EXPECT_EQ(events[0]["startedAt"], 500.0);
  EXPECT_EQ(events[0]["speechEndedAt"], 600.0);
  EXPECT_EQ(events[1], (json{{"type", "research.complete"},
                             {"implementation", "speech-analyzer"},
                             {"module", "SpeechTranscriber"},
                             {"vocabularyCount", 100}}));
  auto made = analyzerLog("made");
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0]["locale"], "ja-JP");
  EXPECT_EQ(made[0]["contextualStrings"], json::parse(vocabulary(100)));
  std::vector<int> frames;
  for (auto& line : analyzerLog("append")) frames.push_back(line["frames"]);
  EXPECT_EQ(frames, (std::vector<int>{4000, 4000, 2000}));
}

TEST_F(Research, TheFileIsConvertedToTheAnalyzerFormat) {
  writeWav(dir_.path("a.wav"), 16000, 1, 16000);
  auto [events, code] = run(json::object(), dir_.path("a.wav"), "[]");
  EXPECT_EQ(code, 0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["vocabularyCount"], 0);
  int frames = 0;
  for (auto& line : analyzerLog("append")) {
    EXPECT_EQ(line["bufferFormat"], "48000 Hz, 1 ch, float32");
    frames += line["frames"].get<int>();
  }
  EXPECT_GT(frames, 46000);
  EXPECT_LE(frames, 48000);
}

TEST_F(Research, TheLocaleIsTheResearchOverrideElseTheHelpersDefault) {
  writeWav(dir_.path("a.wav"), 16000, 1, 4000);
  EXPECT_EQ(run(kPassThrough, dir_.path("a.wav"), "[]", {{"BRIMLOW_LOCALE", "en-US"}}).second, 0);
  EXPECT_EQ(run(kPassThrough, dir_.path("a.wav"), "[]",
                {{"BRIMLOW_LOCALE", "en-US"}, {"BRIMLOW_RESEARCH_LOCALE", "de-DE"}})
                .second,
            0);
  auto made = analyzerLog("made");
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(made[0]["locale"], "en-US");
  EXPECT_EQ(made[1]["locale"], "de-DE");
}

TEST_F(Research, OneHundredAndOneTermsFailBeforeTheFileIsOpened) {
  // The audio path does not exist: the vocabulary check comes first.
  expectFailure(run(kPassThrough, dir_.path("missing.wav"), vocabulary(101)),
                "Research transcription failed: Research vocabulary exceeds 100 terms");
}

TEST_F(Research, WrongRateOrChannelCountFailsBeforeAnyChannel) {
  writeWav(dir_.path("44k.wav"), 44100, 1, 4410);
  expectFailure(run(kPassThrough, dir_.path("44k.wav"), "[]"),
                "Research transcription failed: Expected 16 kHz mono audio");
  writeWav(dir_.path("stereo.wav"), 16000, 2, 1600);
  expectFailure(run(kPassThrough, dir_.path("stereo.wav"), "[]"),
                "Research transcription failed: Expected 16 kHz mono audio");
  EXPECT_TRUE(analyzerLog().empty());
}

TEST_F(Research, AnEmptyFileStillCompletes) {
  writeWav(dir_.path("empty.wav"), 16000, 1, 0);
  auto [events, code] = run(kPassThrough, dir_.path("empty.wav"), R"(["a","b"])");
  EXPECT_EQ(code, 0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["type"], "research.complete");
  EXPECT_EQ(events[0]["vocabularyCount"], 2);
  EXPECT_TRUE(analyzerLog("append").empty());
  EXPECT_EQ(analyzerLog("finalized").size(), 1u);
}

TEST_F(Research, FailuresAreReportedWithExitCodeOne) {
  writeWav(dir_.path("a.wav"), 16000, 1, 8000);
  expectFailure(run({{"assetStatus", "supported"}}, dir_.path("a.wav"), "[]"),
                "Research transcription failed: SpeechAnalyzer model is not installed; run npm "
                "run helper:install-model");

  auto notAList = run(kPassThrough, dir_.path("a.wav"), R"({"words":["a"]})");
  ASSERT_EQ(notAList.first.size(), 1u);
  EXPECT_TRUE(notAList.first[0]["message"].get<std::string>().starts_with(
      "Research transcription failed: Vocabulary file "));
  EXPECT_EQ(notAList.second, 1);

  auto noAudio = run(kPassThrough, dir_.path("none.wav"), "[]");
  ASSERT_EQ(noAudio.first.size(), 1u);
  EXPECT_TRUE(noAudio.first[0]["message"].get<std::string>().starts_with(
      "Research transcription failed: Cannot open audio file "));
  EXPECT_EQ(noAudio.second, 1);
}

TEST_F(Research, AFailedFinishCancelsTheChannelAndSkipsTheSummary) {
  writeWav(dir_.path("a.wav"), 16000, 1, 8000);
  json script = kPassThrough;
  script["finalizeError"] = {{"domain", "Engine"}, {"code", 5}, {"description", "decoder gone"}};
  auto [events, code] = run(script, dir_.path("a.wav"), "[]");
  EXPECT_EQ(code, 1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["message"], "Research transcription failed: decoder gone");
  EXPECT_EQ(analyzerLog("cancel").size(), 1u);
}

TEST_F(Research, EventsAreWrittenWhileTheFileIsStillBeingAnalysed) {
  writeWav(dir_.path("a.wav"), 16000, 1, 12000);
  json script = kPassThrough;
  script["results"] = {{{"afterBuffers", 1}, {"text", "一"}, {"final", true}},
                       {{"afterBuffers", 3}, {"text", "三"}, {"start", 0.5}, {"final", true}}};
  script["backlog"] = backlog(2);
  writeText(dir_.path("vocabulary.json"), "[]");
  start(script, {"--research-transcribe-file", dir_.path("a.wav"), dir_.path("vocabulary.json")});
  auto first = helper_->readEvent(5s);
  ASSERT_TRUE(first) << "nothing written while the rest of the file waits";
  EXPECT_EQ((*first)["text"], "一");
  releaseBacklog();
  auto rest = helper_->readAllLines();
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(json::parse(rest[0])["text"], "三");
  EXPECT_EQ(json::parse(rest[1])["type"], "research.complete");
  EXPECT_EQ(helper_->wait().code, 0);
}

TEST_F(Research, ExitCodesForUsageAndOlderSystems) {
  writeWav(dir_.path("a.wav"), 16000, 1, 100);
  expectFailure(run(kPassThrough, dir_.path("a.wav"), "[]", {{"BRIMLOW_PLATFORM_VERSION", "15.0"}}),
                "Offline research probe requires macOS 26 and Swift 6.2; legacy recognition is "
                "not measured by this command");
  start(kPassThrough, {"--research-transcribe-file", dir_.path("a.wav")});
  auto usage = helper_->readEvent();
  ASSERT_TRUE(usage);
  EXPECT_EQ((*usage)["message"],
            "Usage: --research-transcribe-file <wav-path> <vocabulary-json-path>");
  auto status = helper_->wait();
  EXPECT_EQ(status.code, 2);
}

}  // namespace
}  // namespace brimlow::testing
