#pragma once
// The errors the analyzer path reports itself: every domain and code, named once. The legacy
// path's codes are in legacy/legacy_errors.h; the analysis service's own errors are its own.
#include <cstdint>

#include "stt-helper/helper_errors.h"

namespace brimlow::stt {

// Analyzer channel creation (the helper's domain; the legacy channel's codes are 1 to 3).
inline constexpr const char* kAnalyzerChannelErrorDomain = kHelperErrorDomain;
inline constexpr int64_t kAnalyzerUnsupportedLocaleCode = 10;
inline constexpr int64_t kAnalyzerModelNotInstalledCode = 11;
inline constexpr int64_t kAnalyzerNoCompatibleFormatCode = 12;

// "--research-transcribe-file".
inline constexpr const char* kResearchErrorDomain = "STTResearch";
inline constexpr int64_t kResearchVocabularyTooLongCode = 1;
inline constexpr int64_t kResearchWrongFormatCode = 2;
inline constexpr int64_t kResearchBufferCode = 3;
// Code 0: the file or the vocabulary file could not be read.
inline constexpr const char* kResearchFileErrorDomain = "BrimlowAudio";
inline constexpr const char* kResearchVocabularyErrorDomain = "BrimlowSTT.Vocabulary";
// The code is the ConversionError's kind.
inline constexpr const char* kResearchConversionErrorDomain = "BrimlowSTT.Conversion";

}  // namespace brimlow::stt
