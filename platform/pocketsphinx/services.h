#pragma once
// Both speech services on PocketSphinx, the on-device engine of the Linux platform.
//
// Analysis service: one decoder per analyzer, kept for the analyzer's life and driven by one
// worker thread; the decoder's voice activity detection ends utterances. Recognizer service:
// one utterance per task, on a decoder borrowed from a per-locale pool of long-lived decoders.
// Models are looked up as models.h describes; a locale without a model is never served by the
// model of another language.
#include <chrono>
#include <memory>

#include "platform/speech/analysis.h"
#include "platform/speech/recognizer.h"

namespace brimlow::pocketsphinx {

// Domain of the errors these services report themselves.
inline constexpr const char* kErrorDomain = "BrimlowSpeech.PocketSphinx";
inline constexpr int64_t kSphinxModelNotInstalledCode = 1;
inline constexpr int64_t kSphinxModelLoadFailedCode = 2;
inline constexpr int64_t kSphinxUnsupportedFormatCode = 3;
inline constexpr int64_t kSphinxDecodingFailedCode = 4;
inline constexpr int64_t kSphinxInstallationUnavailableCode = 5;
inline constexpr int64_t kSphinxUnsupportedLocaleCode = 6;

// At most this many analyzers decode at once, process-wide (four sessions with both sources);
// one made beyond them is ready at once, queues its audio and starts decoding when an earlier
// one has ended its results. A decoder is about 90 MiB.
inline constexpr int kMaxDecodingAnalyzers = 8;
// Analyzers holding a decoder now. For diagnostics and tests.
int decodingAnalyzers();

std::shared_ptr<speech::AnalysisService> makeAnalysisService();
std::shared_ptr<speech::RecognizerService> makeRecognizerService();

// Recognition tasks whose worker has not finished yet (a cancelled task finishes once its
// current buffer is decoded). For diagnostics and tests.
size_t runningRecognitionTasks();
// Waits until no recognition task is running; false when `timeout` passed first.
bool waitForRecognitionTasksToFinish(std::chrono::milliseconds timeout);

}  // namespace brimlow::pocketsphinx
