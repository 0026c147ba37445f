#pragma once
// "--research-transcribe-file": one recorded 16 kHz mono file through the same channel that live
// sessions use, so recognition with a given vocabulary can be measured offline.
#include <functional>
#include <optional>
#include <string>

#include "platform/speech/analysis.h"
#include "platform/speech/speech.h"
#include "stt-helper/analyzer/analyzer_errors.h"
#include "stt-helper/event_writer.h"
#include "support/audio/audio_file.h"

namespace brimlow::stt {

inline constexpr uint32_t kResearchChunkFrames = 4000;  // 250 ms at 16 kHz
inline constexpr size_t kResearchMaxVocabulary = 100;

// Transcribes the file at `path` with the JSON array of strings at `vocabularyPath` (at most 100)
// as session "research", source "remote", in `locale` (the settings' research locale, so that
// recognition with a vocabulary can be measured offline in the locales this platform supports),
// and writes "research.complete"
// at the end. Returns the first failure; nothing is written before the channel exists, and the
// channel is cancelled on every failure after that.
std::optional<speech::SpeechError> transcribeResearchFile(const std::string& path,
                                                          const std::string& vocabularyPath,
                                                          const std::string& locale,
                                                          const WriterPtr& writer,
                                                          speech::AnalysisService& service);

// The feeding loop of transcribeResearchFile: the file in chunks of kResearchChunkFrames, each a
// fresh buffer with its capture time in milliseconds from the start of the file, until the file
// ends or `append` fails.
using ResearchAppend =
    std::function<std::optional<speech::SpeechError>(const audio::PcmBufferPtr&, double)>;
std::optional<speech::SpeechError> feedResearchFile(audio::AudioFile& file,
                                                    const ResearchAppend& append);

}  // namespace brimlow::stt
