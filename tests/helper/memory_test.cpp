// Memory the helper takes for a line or a session comes back once they are over, seen from
// outside in the resident size of the process.
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "protocol/pcm_base64.h"
#include "tests/support/process.h"

namespace brimlow::testing {
namespace {

using nlohmann::json;

constexpr long kSlackKb = 30 * 1024;

// The sanitizers' allocators hold on to freed memory (quarantine, shadow pages) by design, so
// in their builds resident size says nothing about what the helper gives back.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_SANITIZERS() GTEST_SKIP() << "resident size is the sanitizer's here"
#else
#define SKIP_UNDER_SANITIZERS() (void)0
#endif

// A number from /proc/<pid>/status ("VmRSS" in kB, "Threads"), or -1.
long statusField(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = std::string(key) + ":";
  for (std::string line; std::getline(in, line);)
    if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
  return -1;
}

// Polls a fact about the process until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& condition, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);  // /proc has no notification to wait on
  }
  return true;
}

TEST(HelperMemory, AHugeLineIsGivenBackOnceRead) {
  SKIP_UNDER_SANITIZERS();
  ChildProcess helper(binaryPath("tests/helper/brimlow-stt-helper-recording"));
  ASSERT_TRUE(helper.readEvent());
  const long before = statusField(helper.pid(), "VmRSS");
  // Invalid from its first byte, so the cost is all in reading the line.
  helper.writeLine("x" + std::string(150'000'000, 'A'));
  auto error = helper.readEvent(60s);
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["type"], "helper.error");
  EXPECT_LT(error->dump().size(), 300u);  // the bad token is quoted by its start only
  // The pong is read after the reader is done with the huge line.
  helper.writeLine(R"({"type":"ping"})");
  auto pong = helper.readEvent();
  ASSERT_TRUE(pong);
  EXPECT_EQ((*pong)["type"], "pong");
  const long after = statusField(helper.pid(), "VmRSS");
  EXPECT_LT(after - before, kSlackKb) << "before " << before << " kB, after " << after << " kB";
}

std::string goForwardChunks(const std::string& session, const std::string& source,
                            int64_t& sequence, std::vector<std::string>& lines) {
  std::ifstream in("/usr/share/pocketsphinx/test/data/goforward.raw", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  samples.resize(samples.size() + 16000, 0);
  for (size_t at = 0; at + 4000 <= samples.size(); at += 4000) {
    std::vector<int16_t> chunk(samples.begin() + at, samples.begin() + at + 4000);
    lines.push_back(json{{"type", "audio"},
                         {"sessionId", session},
                         {"source", source},
                         {"sequence", ++sequence},
                         {"capturedAt", 250.0 * sequence},
                         {"pcmBase64", protocol::pcm16Base64(chunk)}}
                        .dump());
  }
  return session;
}

TEST(HelperMemory, SessionsThatOverlappedGiveTheirDecodersBack) {
  SKIP_UNDER_SANITIZERS();
  ChildProcess helper(binaryPath("stt-helper/brimlow-stt-helper"));
  ASSERT_TRUE(helper.readEvent());
  ASSERT_TRUE(helper.readEvent(30s));  // the model check's answer
  const pid_t pid = helper.pid();
  // The status events come before the thread that reads commands starts: an answer to a
  // command shows that every idle thread is there.
  helper.writeJson({{"type", "no-such-command"}});
  ASSERT_TRUE(helper.readEventOfType("helper.error", 30s));
  const long idleThreads = statusField(pid, "Threads");
  // A session is over when its analyzers' threads have ended: they return the decoders first.
  auto sessionsOver = [&] { return statusField(pid, "Threads") == idleThreads; };
  int64_t sequence = 0;
  // A source that sends nothing takes no decoder.
  auto run = [&](const std::vector<std::string>& sessions,
                 const std::vector<std::string>& sources) {
    std::vector<std::string> lines;
    for (const auto& id : sessions) {
      helper.writeJson({{"type", "session.start"}, {"sessionId", id}, {"locale", "en-US"}});
      for (const auto& source : sources) goForwardChunks(id, source, sequence, lines);
    }
    for (const auto& line : lines) helper.writeLine(line);
    for (const auto& id : sessions) helper.writeJson({{"type", "session.stop"}, {"sessionId", id}});
    for (size_t i = 0; i < sessions.size() * sources.size(); ++i)
      ASSERT_TRUE(helper.readEventOfType("transcript.final", 120s));
    ASSERT_TRUE(eventually(sessionsOver, 60s));
  };
  run({"first"}, {"remote", "self"});
  const long afterFirst = statusField(pid, "VmRSS");
  // Three at once need three decoders where the first needed two.
  run({"a", "b", "c"}, {"remote"});
  run({"d", "e", "f"}, {"remote"});
  const long afterAll = statusField(pid, "VmRSS");
  EXPECT_LT(afterAll - afterFirst, kSlackKb)
      << "after the first session " << afterFirst << " kB, after all " << afterAll << " kB";
}

}  // namespace
}  // namespace brimlow::testing
