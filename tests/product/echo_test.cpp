// The loudspeakers in the microphone, on this machine's real engine, driven over pipes as a host
// drives it: what the other side says comes back on "self" only when the host turns echo
// cancellation off, whatever the offset between the two streams' clocks, and the local user's
// own sentence on "self" is transcribed as before.
#include <algorithm>
#include <chrono>
#include <map>

#include <gtest/gtest.h>

#include "protocol/pcm_base64.h"
#include "tests/product/recordings.h"
#include "tests/support/process.h"

namespace brimlow::testing {
namespace {

using nlohmann::json;

constexpr size_t kChunk = 4000;  // 250 ms
constexpr double kStart = 1.7e12;

// What a meeting without headphones sounds like: the other side reads two sentences, then is
// silent. `remote` is what the loudspeakers play; `echo` what the microphone hears of it: the
// loudspeakers 80 ms later, at half level, with two reflections. `local` is the local user
// saying "go forward ten meters" while the other side is silent. The microphone adds faint
// noise (about -60 dBFS) to everything it hears.
struct Meeting {
  std::vector<int16_t> remote, echo, local, silence;
};

void addNoise(std::vector<int16_t>& samples) {
  uint32_t state = 12345;
  for (auto& sample : samples) {
    state = state * 1664525u + 1013904223u;
    sample = static_cast<int16_t>(sample + static_cast<int>(state >> 25) - 64);
  }
}

Meeting meeting() {
  Meeting m;
  for (const char* clip : {"sense_and_sensibility_01_austen_64kb-0870.wav",
                           "sense_and_sensibility_01_austen_64kb-0880.wav"}) {
    const auto sentence = readWav(std::string(kLibrivox) + clip);
    m.remote.insert(m.remote.end(), sentence.begin(), sentence.end());
  }
  m.remote.resize((m.remote.size() / kChunk + 8) * kChunk, 0);  // 2 s of quiet at the end
  m.echo.assign(m.remote.size(), 0);
  for (size_t i = 1280; i < m.remote.size(); ++i) {
    double value = 0.5 * m.remote[i - 1280];
    if (i >= 1280 + 480) value += 0.2 * m.remote[i - 1280 - 480];
    if (i >= 1280 + 1400) value -= 0.1 * m.remote[i - 1280 - 1400];
    m.echo[i] = static_cast<int16_t>(value);
  }
  addNoise(m.echo);
  m.local = readRaw(kGoForward);
  m.local.resize(m.remote.size(), 0);
  addNoise(m.local);
  m.silence.assign(m.remote.size(), 0);
  return m;
}

// Chunk `chunk` of `samples` as the "audio" command number `sequence`.
json audio(const std::string& session, const char* source, int64_t sequence, int64_t chunk,
           double capturedAt, const std::vector<int16_t>& samples) {
  std::vector<int16_t> part(samples.begin() + chunk * kChunk,
                            samples.begin() + (chunk + 1) * kChunk);
  return {{"type", "audio"},          {"sessionId", session},
          {"source", source},         {"sequence", sequence},
          {"capturedAt", capturedAt}, {"pcmBase64", protocol::pcm16Base64(part)}};
}

// The texts of each session's "self" finals, and how many "remote" finals it had.
struct Heard {
  std::map<std::string, std::vector<std::string>> self;
  std::map<std::string, int> remoteFinals;
};

// Four sessions in one helper: "echo" hears the other side through the room, "offset" the same
// with the microphone's capture times 200 ms later than the loudspeakers', "off" the same with
// cancellation turned off, and "local" the local user alone while the loudspeakers are silent.
// Chunks go out every `step` (the legacy backend ends utterances on wall-clock silence, so it
// gets them at real-time pace).
Heard relay(const char* version, std::chrono::milliseconds step) {
  const Meeting m = meeting();
  struct Session {
    const std::vector<int16_t>& remote;
    const std::vector<int16_t>& self;
    double selfOffsetMs;
  };
  const std::map<std::string, Session> sessions = {{"echo", {m.remote, m.echo, 0.0}},
                                                   {"offset", {m.remote, m.echo, 200.0}},
                                                   {"off", {m.remote, m.echo, 0.0}},
                                                   {"local", {m.silence, m.local, 0.0}}};
  ChildProcess helper(binaryPath("stt-helper/brimlow-stt-helper"),
                      ChildProcess::Options{{}, {{"BRIMLOW_PLATFORM_VERSION", version}}, false});
  for (const auto& [id, session] : sessions) {
    json start = {{"type", "session.start"}, {"sessionId", id}, {"locale", "en-US"}};
    if (id == "off") start["echoCancellation"] = false;
    helper.writeJson(start);
    EXPECT_TRUE(helper.readEventOfType("session.ready", 60s));
  }
  Heard heard;
  size_t finished = 0;
  auto take = [&](const json& event) {
    if (event["type"] == "session.finished") ++finished;
    if (event["type"] != "transcript.final") return;
    const std::string id = event["sessionId"];
    if (event["source"] == "self")
      heard.self[id].push_back(event["text"]);
    else
      ++heard.remoteFinals[id];
  };
  // Chunks as a live host relays them, one of each source per session every `step`; after the
  // meeting the room stays quiet (the last chunk again) until every final the meeting must give
  // is in, as a loaded machine may decode behind the audio (stopping a legacy session cuts off
  // what it has not decoded yet). What must not come gets the same time to come.
  auto waitingForFinals = [&] {
    return heard.self["local"].empty() || heard.self["off"].empty() ||
           heard.remoteFinals["echo"] == 0 || heard.remoteFinals["offset"] == 0 ||
           heard.remoteFinals["off"] == 0;
  };
  const int64_t chunks = static_cast<int64_t>(m.remote.size() / kChunk);
  // Sanitizer builds decode several times slower, and make each decoder slower still.
  const int64_t quietChunksAtMost = 2 * 60 * 1000 / 250;
  auto next = std::chrono::steady_clock::now();
  for (int64_t sequence = 0;
       sequence < chunks || (waitingForFinals() && sequence < chunks + quietChunksAtMost);
       ++sequence) {
    const double stamp = kStart + 250.0 * sequence;
    const int64_t at = std::min(sequence, chunks - 1);
    for (const auto& [id, session] : sessions) {
      helper.writeJson(audio(id, "remote", sequence, at, stamp, session.remote));
      helper.writeJson(audio(id, "self", sequence, at, stamp + session.selfOffsetMs, session.self));
    }
    next += step;
    while (auto event = helper.readEvent(std::chrono::duration_cast<std::chrono::milliseconds>(
               std::max(next - std::chrono::steady_clock::now(),
                        std::chrono::steady_clock::duration(0)))))
      take(*event);
  }
  for (const auto& [id, session] : sessions)
    helper.writeJson({{"type", "session.stop"}, {"sessionId", id}});
  // The last finals may follow "session.stopped"; "session.finished" comes after them.
  while (finished < sessions.size()) {
    auto event = helper.readEvent(120s);
    if (!event) {
      ADD_FAILURE() << "only " << finished << " sessions finished";
      break;
    }
    take(*event);
  }
  helper.closeStdin();
  EXPECT_EQ(helper.wait(30s).code, 0);
  EXPECT_EQ(helper.stderrText(), "");
  return heard;
}

void expectTheOtherSideOnlyOnRemote(Heard heard) {
  // The other side is heard on "remote" and never on "self", whatever the offset between the
  // two streams' clocks...
  for (const char* id : {"echo", "offset"}) {
    EXPECT_EQ(heard.self[id], std::vector<std::string>{}) << id;
    EXPECT_GE(heard.remoteFinals[id], 1) << id;
  }
  // ...unless the host turns cancellation off.
  EXPECT_GE(heard.self["off"].size(), 1u);
  // The local user alone is transcribed as without cancellation.
  EXPECT_EQ(heard.self["local"], std::vector<std::string>{"Go forward ten meters."});
}

TEST(RealEngineEcho, AnalyzerPathKeepsTheOtherSideOutOfSelf) {
  expectTheOtherSideOnlyOnRemote(relay("26.0", 100ms));
}

TEST(RealEngineEcho, LegacyPathKeepsTheOtherSideOutOfSelf) {
  expectTheOtherSideOnlyOnRemote(relay("15.0", 250ms));
}

}  // namespace
}  // namespace brimlow::testing
