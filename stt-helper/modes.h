#pragma once
// The one-shot modes. Each writes its events and returns the process exit code.
#include <string>

#include "platform/helper_platform.h"
#include "stt-helper/event_writer.h"

namespace brimlow::stt {

// About `defaultLocale`.
int emitHealth(const WriterPtr& writer, platform::HelperPlatform& platform,
               const std::string& defaultLocale);
int requestLegacyAuthorization(const WriterPtr& writer, platform::HelperPlatform& platform);
int installSpeechAnalyzerAssets(const WriterPtr& writer, platform::HelperPlatform& platform,
                                const std::string& localeIdentifier);
// "--research-transcribe-file": arguments are already counted; checks the version, transcribes
// in `locale`.
int runResearchMode(const WriterPtr& writer, platform::HelperPlatform& platform,
                    const std::string& wavPath, const std::string& vocabularyPath,
                    const std::string& locale);

}  // namespace brimlow::stt
