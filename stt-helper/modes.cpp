#include "stt-helper/modes.h"

#include "stt-helper/analyzer/research.h"
#include "stt-helper/backend.h"

namespace brimlow::stt {

int runResearchMode(const WriterPtr& writer, platform::HelperPlatform& platform,
                    const std::string& wavPath, const std::string& vocabularyPath,
                    const std::string& locale) {
  if (!usesAnalyzerPath(platform)) {
    writer->error(
        "Offline research probe requires macOS 26 and Swift 6.2; legacy recognition is not "
        "measured by this command",
        {}, {});
    return 1;
  }
  if (auto error =
          transcribeResearchFile(wavPath, vocabularyPath, locale, writer, *platform.analysis)) {
    writer->error("Research transcription failed: " + error->description, {}, {});
    return 1;
  }
  return 0;
}

}  // namespace brimlow::stt
