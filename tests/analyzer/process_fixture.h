#pragma once
// Runs brimlow-stt-helper-scripted with a scenario file and an analyzer log in a temp dir.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/analyzer/test_support.h"
#include "tests/support/process.h"

namespace brimlow::testing {

class ScriptedHelperTest : public ::testing::Test {
 protected:
  // Starts the helper with `script` (JSON) and `args`; extra environment in `env`.
  void start(const nlohmann::json& script, std::vector<std::string> args = {},
             std::map<std::string, std::optional<std::string>> env = {}) {
    writeText(dir_.path("script.json"), script.dump());
    env["BRIMLOW_ANALYSIS_SCRIPT"] = dir_.path("script.json");
    env["BRIMLOW_ANALYSIS_LOG"] = logPath();
    // The current system and the default locale unless the test asks for others.
    env.try_emplace("BRIMLOW_PLATFORM_VERSION", std::nullopt);
    env.try_emplace("BRIMLOW_LOCALE", std::nullopt);
    helper_ = std::make_unique<ChildProcess>(
        binaryPath("tests/analyzer/brimlow-stt-helper-scripted"),
        ChildProcess::Options{std::move(args), std::move(env), false});
  }
  std::string logPath() const { return dir_.path("analyzer.log"); }
  // The script's "backlog" entry: the analyzer holds after `afterBuffers` buffers until
  // releaseBacklog().
  nlohmann::json backlog(uint32_t afterBuffers) {
    const std::string fifo = dir_.path("backlog");
    EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    return {{"afterBuffers", afterBuffers}, {"fifo", fifo}};
  }
  void releaseBacklog() {
    int fd = ::open(dir_.path("backlog").c_str(), O_WRONLY);  // meets the waiting analyzer
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  // Every line the scripted service logged so far.
  std::vector<nlohmann::json> analyzerLog() const {
    std::vector<nlohmann::json> lines;
    std::ifstream in(logPath());
    std::string line;
    while (std::getline(in, line)) lines.push_back(nlohmann::json::parse(line));
    return lines;
  }
  // The log lines of one kind of change.
  std::vector<nlohmann::json> analyzerLog(const std::string& event) const {
    std::vector<nlohmann::json> lines;
    for (auto& line : analyzerLog())
      if (line["event"] == event) lines.push_back(line);
    return lines;
  }

  TempDir dir_;
  std::unique_ptr<ChildProcess> helper_;
};

}  // namespace brimlow::testing
