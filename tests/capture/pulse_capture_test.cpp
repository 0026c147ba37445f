// brimlow-audio-capture recording for real from a private sound server: what plays comes back,
// on whichever output it plays and wherever it moves, the host's own sound is left out, and a
// server or output that goes away is reported once while the program waits to be stopped. The
// same tests run against PulseAudio and against PipeWire's pulse server.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

#include "devtools/capture_timing.h"
#include "protocol/pcm_payload.h"
#include "tests/capture/sound_server.h"

namespace brimlow::testing {
namespace {

using nlohmann::json;

const std::string kProduct = "audio-capture/brimlow-audio-capture";
const std::string kParentPlayer = "tests/capture/brimlow-parent-player";
const std::string kRecording =
    "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0880.wav";

// Tone files in a directory of this test process's own: the PulseAudio and PipeWire runs of a
// test run side by side, and one writing a shared file while the other plays it cut the tone.
// The sound files of one run, in a folder of their own that goes when the run ends.
class ToneFolder {
 public:
  ToneFolder() : path_(::testing::TempDir() + "brimlow-tones-XXXXXX") {
    made_ = ::mkdtemp(path_.data()) != nullptr;
    if (!made_) path_ = ::testing::TempDir();
  }
  ~ToneFolder() {
    std::error_code ignored;
    if (made_) std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  bool made_ = false;
};

std::string toneFile(const std::string& name) {
  static const ToneFolder folder;
  return folder.file(name);
}

std::vector<int16_t> samplesOf(const json& chunk) {
  auto pcm = stt::makePCMBuffer(chunk["pcmBase64"].get<std::string>());
  EXPECT_TRUE(pcm.has_value());
  if (!pcm) return {};
  const int16_t* data = (*pcm)->int16ChannelData(0);
  return std::vector<int16_t>(data, data + (*pcm)->frameLength());
}

double pearson(const int16_t* a, const int16_t* b, size_t n) {
  double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
  for (size_t i = 0; i < n; ++i) {
    sa += a[i];
    sb += b[i];
    saa += double(a[i]) * a[i];
    sbb += double(b[i]) * b[i];
    sab += double(a[i]) * b[i];
  }
  double cov = sab - sa * sb / n, va = saa - sa * sa / n, vb = sbb - sb * sb / n;
  return va > 0 && vb > 0 ? cov / std::sqrt(va * vb) : 0.0;
}

// The best correlation of `original` with `captured` at any offset where at least 95% of the
// original overlaps (a new stream's first milliseconds are not recorded): coarse alignment of
// 10 ms energy envelopes, then sample by sample around it.
double bestCorrelation(const std::vector<int16_t>& captured, const std::vector<int16_t>& original) {
  const long hop = 160;
  auto envelope = [hop](const std::vector<int16_t>& x) {
    std::vector<double> e(x.size() / hop);
    for (size_t k = 0; k < e.size(); ++k)
      for (long i = 0; i < hop; ++i) e[k] += std::abs(double(x[k * hop + i]));
    return e;
  };
  auto ec = envelope(captured), eo = envelope(original);
  const long nc = long(ec.size()), no = long(eo.size());
  long bestLag = 0;
  double best = -2;
  for (long lag = -no / 20; lag + no <= nc + no / 20; ++lag) {
    double sab = 0, saa = 0, sbb = 0;
    for (long k = std::max(0L, -lag); k < no && lag + k < nc; ++k) {
      sab += ec[lag + k] * eo[k];
      saa += ec[lag + k] * ec[lag + k];
      sbb += eo[k] * eo[k];
    }
    double r = saa > 0 && sbb > 0 ? sab / std::sqrt(saa * sbb) : 0;
    if (r > best) best = r, bestLag = lag;
  }
  double fine = -2;
  const long n = long(original.size()), m = long(captured.size());
  for (long s = bestLag * hop - 2 * hop; s <= bestLag * hop + 2 * hop; ++s) {
    const long from = std::max(0L, -s), to = std::min(n, m - s);
    if (to - from < n * 95 / 100) continue;
    fine = std::max(fine, pearson(captured.data() + s + from, original.data() + from, to - from));
  }
  return fine;
}

// Power of one frequency in 16 kHz samples (Goertzel).
double powerAt(const std::vector<int16_t>& x, double hz) {
  const double w = 2 * std::numbers::pi * hz / 16000.0, c = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (int16_t v : x) {
    double s = v / 32768.0 + c * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return s1 * s1 + s2 * s2 - c * s1 * s2;
}

void expectStatus(ChildProcess& capture, const std::string& state) {
  auto event = capture.readEvent(15s);
  ASSERT_TRUE(event) << "no " << state;
  EXPECT_EQ((*event)["type"], "capture.status") << event->dump();
  EXPECT_EQ((*event)["state"], state) << event->dump();
}

// Reads chunks until `player` has ended and `after` more chunks have come; the first one read
// must have the number `first`, and the others follow it without a gap.
std::vector<json> chunksWhilePlaying(ChildProcess& capture, ChildProcess& player, int after,
                                     int64_t first = 0) {
  std::vector<json> chunks;
  int left = -1;
  while (chunks.size() < 400 && left != 0) {
    auto event = capture.readEvent(5s);
    if (!event) break;
    EXPECT_EQ((*event)["type"], "capture.audio") << event->dump();
    if ((*event)["type"] != "capture.audio") break;
    EXPECT_EQ((*event)["sequence"], first + static_cast<int64_t>(chunks.size()));
    chunks.push_back(*event);
    if (left > 0) --left;
    if (left < 0 && !player.wait(0ms).timedOut) left = after;
  }
  EXPECT_EQ(left, 0) << "the player did not end";
  return chunks;
}

void stopAndExpectExitZero(ChildProcess& capture) {
  capture.writeLine(R"({"type":"stop"})");
  auto stopped = capture.readEventOfType("capture.status", 10s);
  ASSERT_TRUE(stopped);
  EXPECT_EQ((*stopped)["state"], "stopped");
  EXPECT_EQ((*stopped)["available"], false);
}

std::vector<int16_t> samplesOfAll(const std::vector<json>& chunks) {
  std::vector<int16_t> captured;
  for (const auto& chunk : chunks) {
    auto samples = samplesOf(chunk);
    captured.insert(captured.end(), samples.begin(), samples.end());
  }
  return captured;
}

const std::string kOtherOutput = "brimlow_other";

// Milliseconds since the epoch, the clock of "capturedAt".
double nowMs() {
  return devtools::readClocks().wall;
}

// A player of short clips, one new playback stream after the other.
struct ClipPlayer {
  std::vector<std::vector<int16_t>> clips;
  std::vector<std::string> files;
  size_t next = 0;
  std::unique_ptr<ChildProcess> playing;
};

struct PlayedClip {
  const std::vector<int16_t>* clip;
  double startedAt;
};

// Clips of 0.3 to 3 s for player `player`: noise below 2 kHz at a level like speech's, a
// different one in every clip, so that each can be told from all other sound.
ClipPlayer clipPlayer(int player) {
  const double lengths[] = {0.3, 1.1, 2.4, 0.6, 3.0, 1.6, 0.8, 2.0};
  ClipPlayer result;
  std::mt19937 random(static_cast<unsigned>(player) + 1);
  std::normal_distribution<double> noise(0.0, 0.1 * 32767 * std::sqrt(8.0));
  for (int i = 0; i < 8; ++i) {
    std::vector<double> white(static_cast<size_t>(lengths[(i + 3 * player) % 8] * 16000) + 8);
    for (auto& sample : white) sample = noise(random);
    std::vector<int16_t> clip(white.size() - 8);
    for (size_t n = 0; n < clip.size(); ++n) {
      double sum = 0;
      for (size_t k = 0; k < 8; ++k) sum += white[n + k];
      clip[n] = static_cast<int16_t>(std::lround(sum / 8));
    }
    result.clips.push_back(std::move(clip));
    result.files.push_back(
        toneFile("churn-" + std::to_string(player) + "-" + std::to_string(i) + ".wav"));
    writeWav16(result.files.back(), result.clips.back(), 16000);
  }
  return result;
}

class RealCapture : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> startCapture(std::vector<std::string> args = {"--capture"}) {
    return std::make_unique<ChildProcess>(
        binaryPath(kProduct),
        ChildProcess::Options{std::move(args), server_.clientEnvironment(), false});
  }
  // Output of a pactl run, one line each.
  std::vector<std::string> pactlLines(std::vector<std::string> args) {
    ChildProcess run("/usr/bin/pactl",
                     ChildProcess::Options{std::move(args), server_.clientEnvironment(), false});
    auto lines = run.readAllLines();
    EXPECT_EQ(run.wait().code, 0) << run.stderrText();
    return lines;
  }
  // Makes `output` the default and waits until the server says so (PipeWire takes a moment).
  void setDefaultOutput(const std::string& output) {
    ASSERT_EQ(server_.pactl({"set-default-sink", output}), 0);
    for (int i = 0; i < 500; ++i) {
      auto lines = pactlLines({"get-default-sink"});
      if (!lines.empty() && lines.front() == output) return;
    }
    FAIL() << output << " did not become the default output";
  }
  // Index of the one playback stream whose process is `pid`, waiting until the server has it.
  std::string playbackStreamOf(pid_t pid) {
    const std::string wanted = "application.process.id = \"" + std::to_string(pid) + "\"";
    for (int i = 0; i < 500; ++i) {
      std::string index;
      for (const auto& line : pactlLines({"list", "sink-inputs"})) {
        if (line.starts_with("Sink Input #")) index = line.substr(12);
        if (line.find(wanted) != std::string::npos) return index;
      }
    }
    ADD_FAILURE() << "no playback stream of " << pid;
    return "";
  }
  PrivateSoundServer server_;
};

TEST_F(RealCapture, HealthIsAuthorizedWhenTheServerAnswers) {
  auto capture = startCapture({"--health"});
  auto event = capture->readEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ((*event)["permission"], "authorized");
  EXPECT_EQ(capture->wait().code, 0);
}

TEST_F(RealCapture, WhatIsPlayedComesBackAsChunksThatMatchTheRecording) {
  auto capture = startCapture();
  expectStatus(*capture, "requesting");
  expectStatus(*capture, "started");
  auto player = server_.play(kRecording);
  auto chunks = chunksWhilePlaying(*capture, *player, 4);
  EXPECT_EQ(player->wait().code, 0) << player->stderrText();

  std::vector<int16_t> captured;
  int loud = 0;
  for (const auto& chunk : chunks) {
    auto samples = samplesOf(chunk);
    captured.insert(captured.end(), samples.begin(), samples.end());
    if (chunk["level"].get<double>() > 0.02) ++loud;
  }
  // Three seconds of speech: most of its twelve chunks carry sound.
  EXPECT_GE(loud, 8);
  auto original = readWav16(kRecording);
  double r = bestCorrelation(captured, original);
  EXPECT_GT(r, 0.9) << "correlation " << r;
  RecordProperty("correlation", std::to_string(r));

  stopAndExpectExitZero(*capture);
  auto status = capture->wait();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(capture->stderrText(), "");
}

TEST_F(RealCapture, TheHostsOwnSoundIsLeftOut) {
  const std::string hostTone = toneFile("host-440.wav");
  const std::string otherTone = toneFile("other-1000.wav");
  writeSineWav(hostTone, 16000, 6.0, 440.0, 0.5);
  writeSineWav(otherTone, 16000, 3.0, 1000.0, 0.5);

  // The host: the capture program's parent, which becomes a player of the 440 Hz tone.
  ChildProcess host(
      binaryPath(kParentPlayer),
      ChildProcess::Options{
          {hostTone, "--", binaryPath(kProduct), "--capture"}, server_.clientEnvironment(), false});
  expectStatus(host, "requesting");
  expectStatus(host, "started");
  host.sendSignal(SIGUSR1);
  auto other = server_.play(otherTone);
  auto chunks = chunksWhilePlaying(host, *other, 2);

  // The host's tone did play meanwhile, from the host's own process.
  ChildProcess list(
      "/usr/bin/pactl",
      ChildProcess::Options{{"list", "sink-inputs"}, server_.clientEnvironment(), false});
  std::string inputs;
  for (const auto& line : list.readAllLines()) inputs += line + "\n";
  EXPECT_NE(inputs.find("application.process.id = \"" + std::to_string(host.pid()) + "\""),
            std::string::npos)
      << inputs;

  std::vector<int16_t> captured;
  for (const auto& chunk : chunks) {
    auto samples = samplesOf(chunk);
    captured.insert(captured.end(), samples.begin(), samples.end());
  }
  double hostPower = powerAt(captured, 440.0);
  double otherPower = powerAt(captured, 1000.0);
  EXPECT_GT(otherPower, 1000.0) << "the other player's tone is missing";
  EXPECT_LT(hostPower, otherPower * 1e-3) << "host " << hostPower << " other " << otherPower;

  stopAndExpectExitZero(host);
}

TEST_F(RealCapture, ADeadServerIsReportedOnceAndTheProgramWaitsForStop) {
  auto capture = startCapture();
  expectStatus(*capture, "requesting");
  expectStatus(*capture, "started");
  ASSERT_TRUE(capture->readEvent());  // a first chunk of silence
  server_.kill();
  std::vector<json> skipped;
  auto error = capture->readEventOfType("capture.error", 10s, &skipped);
  ASSERT_TRUE(error);
  for (const auto& event : skipped) EXPECT_EQ(event["type"], "capture.audio");
  const std::string message = (*error)["message"];
  EXPECT_TRUE(message.starts_with("システム音声の取得が停止しました: ")) << message;
  EXPECT_NE(message.find("サウンドサーバー"), std::string::npos) << message;
  EXPECT_TRUE(capture->quietFor(500ms));
  EXPECT_TRUE(capture->wait(0ms).timedOut) << "the program ended by itself";

  capture->writeLine(R"({"type":"stop"})");
  auto stopped = capture->readEvent();
  ASSERT_TRUE(stopped);
  EXPECT_EQ((*stopped)["state"], "stopped") << stopped->dump();
  EXPECT_EQ((*stopped)["available"], false);
  auto status = capture->wait();
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(capture->stderrText(), "");
}

TEST_F(RealCapture, ARemovedOutputIsReportedOnce) {
  if (PrivateSoundServer::isPipeWire())
    GTEST_SKIP() << "PipeWire puts a stand-in output in place of the last one";
  auto capture = startCapture();
  expectStatus(*capture, "requesting");
  expectStatus(*capture, "started");
  ChildProcess unload("/usr/bin/pactl", ChildProcess::Options{{"unload-module", "module-null-sink"},
                                                              server_.clientEnvironment(),
                                                              false});
  ASSERT_EQ(unload.wait().code, 0) << unload.stderrText();
  std::vector<json> skipped;
  auto error = capture->readEventOfType("capture.error", 10s, &skipped);
  ASSERT_TRUE(error);
  const std::string message = (*error)["message"];
  EXPECT_TRUE(message.starts_with(
      "システム音声の取得が停止しました: 取得していた出力装置が取り除かれました"))
      << message;
  EXPECT_TRUE(capture->quietFor(300ms));
  stopAndExpectExitZero(*capture);
  EXPECT_EQ(capture->wait().code, 0);
}

TEST_F(RealCapture, AfterTheDefaultOutputChangesWhatPlaysOnTheNewOneComesThrough) {
  server_.addOutput(kOtherOutput);
  auto capture = startCapture();
  expectStatus(*capture, "requesting");
  expectStatus(*capture, "started");
  ASSERT_TRUE(capture->readEvent());  // capturing from the old default
  setDefaultOutput(kOtherOutput);
  auto player = server_.play(kRecording);
  auto chunks = chunksWhilePlaying(*capture, *player, 4, 1);
  EXPECT_EQ(player->wait().code, 0) << player->stderrText();
  double r = bestCorrelation(samplesOfAll(chunks), readWav16(kRecording));
  EXPECT_GT(r, 0.9) << "correlation " << r;
  stopAndExpectExitZero(*capture);
  EXPECT_EQ(capture->wait().code, 0);
}

TEST_F(RealCapture, WhatPlaysOnAnOutputThatIsNotTheDefaultComesThrough) {
  server_.addOutput(kOtherOutput);
  auto capture = startCapture();
  expectStatus(*capture, "requesting");
  expectStatus(*capture, "started");
  auto player = server_.play(kRecording, kOtherOutput);
  auto chunks = chunksWhilePlaying(*capture, *player, 4);
  EXPECT_EQ(player->wait().code, 0) << player->stderrText();
  double r = bestCorrelation(samplesOfAll(chunks), readWav16(kRecording));
  EXPECT_GT(r, 0.9) << "correlation " << r;
  stopAndExpectExitZero(*capture);
  EXPECT_EQ(capture->wait().code, 0);
}

TEST_F(RealCapture, AStreamMovedToAnotherOutputKeepsComingThrough) {
  server_.addOutput(kOtherOutput);
  const std::string tone = toneFile("moved-1000.wav");
  writeSineWav(tone, 16000, 6.0, 1000.0, 0.5);
  auto capture = startCapture();
  expectStatus(*capture, "requesting");
  expectStatus(*capture, "started");
  auto player = server_.play(tone);
  const std::string stream = playbackStreamOf(player->pid());
  ASSERT_FALSE(stream.empty());
  // The first chunk with the tone in it, then the stream goes to the other output.
  int64_t sequence = -1;
  for (int i = 0; i < 40 && sequence < 0; ++i) {
    auto chunk = capture->readEvent();
    ASSERT_TRUE(chunk);
    if ((*chunk)["level"].get<double>() > 0.5) sequence = (*chunk)["sequence"];
  }
  ASSERT_GE(sequence, 0) << "the tone never came through";
  ASSERT_EQ(server_.pactl({"move-sink-input", stream, kOtherOutput}), 0);
  auto chunks = chunksWhilePlaying(*capture, *player, 0, sequence + 1);
  // About 5 s of the tone were left to play on the other output: 20 chunks, of which a few
  // may fall on the moment of the move or wait in the first output's buffers.
  int loud = 0;
  for (const auto& chunk : chunks)
    if (chunk["level"].get<double>() > 0.5) ++loud;
  EXPECT_GE(loud, 16);
  stopAndExpectExitZero(*capture);
  EXPECT_EQ(capture->wait().code, 0);
}

TEST_F(RealCapture, AServerKilledWhileStreamsPlayOnTwoOutputsIsReportedOnce) {
  server_.addOutput(kOtherOutput);
  // Two pitches: one tone on both outputs may come out half a period apart and cancel out.
  const std::string tone = toneFile("killed-440.wav"), otherTone = toneFile("killed-660.wav");
  writeSineWav(tone, 16000, 10.0, 440.0, 0.5);
  writeSineWav(otherTone, 16000, 10.0, 660.0, 0.5);
  auto capture = startCapture();
  expectStatus(*capture, "requesting");
  expectStatus(*capture, "started");
  auto first = server_.play(tone);
  auto second = server_.play(otherTone, kOtherOutput);
  bool loud = false;
  for (int i = 0; i < 40 && !loud; ++i) {
    auto chunk = capture->readEvent();
    ASSERT_TRUE(chunk);
    loud = (*chunk)["level"].get<double>() > 0.5;
  }
  ASSERT_TRUE(loud) << "the tones never came through";
  server_.kill();
  std::vector<json> skipped;
  auto error = capture->readEventOfType("capture.error", 10s, &skipped);
  ASSERT_TRUE(error);
  for (const auto& event : skipped) EXPECT_EQ(event["type"], "capture.audio");
  const std::string message = (*error)["message"];
  EXPECT_TRUE(message.starts_with("システム音声の取得が停止しました: サウンドサーバー")) << message;
  // Nothing more: no second error, no audio, no exit.
  EXPECT_TRUE(capture->quietFor(1s));
  EXPECT_TRUE(capture->wait(0ms).timedOut) << "the program ended by itself";
  capture->writeLine(R"({"type":"stop"})");
  auto stopped = capture->readEvent();
  ASSERT_TRUE(stopped);
  EXPECT_EQ((*stopped)["type"], "capture.status") << stopped->dump();
  EXPECT_EQ((*stopped)["state"], "stopped") << stopped->dump();
  EXPECT_EQ((*stopped)["available"], false);
  auto status = capture->wait();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(capture->stderrText(), "");
}

// Players that keep starting and stopping while one steady stream plays: the chunks keep the
// clock, the steady stream's marks come back where they played (no delay added for what already
// plays), and every clip comes through.
TEST_F(RealCapture, WhilePlayersComeAndGoTheChunksKeepTimeAndEverySoundComesThrough) {
  const std::string steadyFile = toneFile("steady-marks.wav");
  writeWav16(steadyFile, devtools::markedTone(14.0), 16000);
  std::vector<ClipPlayer> players;
  for (int p = 0; p < 3; ++p) players.push_back(clipPlayer(p));

  auto capture = startCapture();
  expectStatus(*capture, "requesting");
  expectStatus(*capture, "started");
  devtools::CaptureTimeline timeline;
  int64_t sequence = 0;
  auto readChunk = [&](std::chrono::milliseconds timeout) {
    auto event = capture->readEvent(timeout);
    if (!event) return;
    ASSERT_EQ((*event)["type"], "capture.audio") << event->dump();
    EXPECT_EQ((*event)["sequence"], sequence++);
    timeline.add((*event)["capturedAt"].get<double>(), samplesOf(*event));
  };

  // The steady stream alone for two seconds, then three players for ten.
  auto steady = server_.play(steadyFile);
  for (const double until = nowMs() + 2000; nowMs() < until;) readChunk(100ms);
  const auto churnStart = devtools::readClocks();
  const double churnFrom = churnStart.wall, churnTo = churnFrom + 10000;
  std::vector<PlayedClip> played;
  for (bool playing = true; playing;) {
    playing = false;
    for (auto& player : players) {
      if (player.playing && player.playing->wait(0ms).timedOut) {
        playing = true;
        continue;
      }
      const auto& clip = player.clips[player.next % player.clips.size()];
      const double now = nowMs();
      if (now + double(clip.size()) / 16.0 > churnTo) continue;
      player.playing = server_.play(player.files[player.next++ % player.files.size()]);
      played.push_back({&clip, now});
      playing = true;
    }
    readChunk(20ms);
  }
  // The null outputs play by the monotonic clock, "capturedAt" follows the wall clock, which the
  // system may slew meanwhile.
  const double wallRate = devtools::wallPerMonotonic(churnStart, devtools::readClocks());
  for (const double until = nowMs() + 750; nowMs() < until;) readChunk(100ms);
  stopAndExpectExitZero(*capture);
  const auto& times = timeline.chunkTimes();

  // The chunks of the churn, 250 ms apart on average.
  std::vector<double> during;
  std::copy_if(times.begin(), times.end(), std::back_inserter(during),
               [&](double at) { return at >= churnFrom && at < churnTo; });
  ASSERT_GE(during.size(), 30u);
  const double spacing = (during.back() - during.front()) / double(during.size() - 1);
  EXPECT_NEAR(spacing, 250.0 * wallRate, 7.5) << during.size() << " chunks in 10 s";
  RecordProperty("spacing", std::to_string(spacing));

  // Every mark of the steady stream, and each where it came before the churn.
  auto marks = devtools::markArrivals(timeline, wallRate);
  std::vector<double> before;
  for (const auto& mark : marks)
    if (mark.at < churnFrom) before.push_back(mark.delay);
  ASSERT_FALSE(before.empty()) << "no mark before the churn";
  std::sort(before.begin(), before.end());
  const double reference = before[before.size() / 2];
  int marked = 0;
  double furthest = 0;
  for (const auto& mark : marks) {
    if (mark.at < churnFrom || mark.at >= churnTo) continue;
    ++marked;
    furthest = std::max(furthest, std::abs(mark.delay - reference));
    EXPECT_NEAR(mark.delay, reference, 100.0) << "a mark at " << mark.at - churnFrom << " ms";
  }
  EXPECT_GE(marked, 9) << "marks lost during the churn";
  RecordProperty("markShift", std::to_string(furthest));

  // Every clip where and when it was started, and every 100 ms of it at its level to the end.
  // Its first 50 ms are left out: the server records a new stream only from a little after it
  // starts. A loaded server may skip one of its periods (10-21 ms) of a stream's recording, so
  // each piece is looked for a little around where the one before it ended, and the piece
  // across such a skip is only partly there.
  ASSERT_GE(played.size(), 9u);
  double weakest = 2;
  for (const auto& clip : played) {
    const std::vector<int16_t> heard(clip.clip->begin() + 800, clip.clip->end());
    const auto match =
        devtools::bestMatch(timeline.samples(), heard, timeline.sampleAt(clip.startedAt - 50),
                            timeline.sampleAt(clip.startedAt + 300));
    const double startedAt = clip.startedAt - churnFrom;
    constexpr size_t kPiece = 1600, kAround = 400;
    double gains = 0;
    size_t pieces = 0;
    for (size_t at = 0, place = match.at; at + kPiece <= heard.size(); at += kPiece, ++pieces) {
      const auto piece =
          devtools::bestMatch(timeline.samples(), std::span(heard).subspan(at, kPiece),
                              place > kAround ? place - kAround : 0, place + kAround);
      EXPECT_GT(piece.gain, 0.4) << "a clip started at " << startedAt << ", at " << at / 16
                                 << " ms of it";
      gains += piece.gain;
      weakest = std::min(weakest, piece.gain);
      place = piece.at + kPiece;
    }
    ASSERT_GT(pieces, 0u);
    EXPECT_NEAR(gains / double(pieces), 1.0, 0.2) << "a clip started at " << startedAt;
  }
  RecordProperty("weakestPiece", std::to_string(weakest));
}

}  // namespace
}  // namespace brimlow::testing
