// brimlow-stt-helper on the scripted analysis service, for process tests. The scenario is the
// JSON script in the file named by BRIMLOW_ANALYSIS_SCRIPT (the default script when unset); when
// BRIMLOW_ANALYSIS_LOG names a file, every change of an analyzer is appended to it as one line.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/helper_platform.h"
#include "platform/speech/unavailable.h"
#include "stt-helper/backends.h"
#include "stt-helper/helper.h"
#include "tests/scripted/scripted_analysis.h"

namespace {

using namespace brimlow;

speech::AnalysisScript loadScript() {
  const char* path = std::getenv("BRIMLOW_ANALYSIS_SCRIPT");
  if (!path) return speech::AnalysisScript{};
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return speech::AnalysisScript::fromJson(nlohmann::json::parse(text.str()));
}

}  // namespace

int main(int argc, char** argv) {
  auto analysis = std::make_shared<speech::ScriptedAnalysisService>(loadScript());
  if (const char* logPath = std::getenv("BRIMLOW_ANALYSIS_LOG")) {
    // Unbuffered appends: the process may end with _Exit at any moment.
    auto log = std::shared_ptr<FILE>(std::fopen(logPath, "a"), [](FILE* f) {
      if (f) std::fclose(f);
    });
    if (log) setvbuf(log.get(), nullptr, _IONBF, 0);
    analysis->setObserver([log](const speech::AnalyzerRecord& record, const std::string& what) {
      if (!log) return;
      std::string line = speech::describeRecordChange(record, what).dump() + "\n";
      std::fwrite(line.data(), 1, line.size(), log.get());
    });
  }
  const stt::Settings settings = stt::readSettings();
  platform::HelperPlatform helperPlatform;
  helperPlatform.osVersion = [version = settings.osVersion] { return version; };
  helperPlatform.analysis = analysis;
  helperPlatform.recognizer = std::make_shared<speech::UnavailableRecognizerService>();
  return stt::run(argc, argv, settings, std::move(helperPlatform), stt::makeSpeechBackend);
}
