#pragma once
// Both speech services on PocketSphinx, the on-device engine of the Linux platform.
//
// Analysis service: one worker thread per analyzer, which holds a decoder while the analyzer's
// input has audio to decode; the decoder's voice activity detection ends utterances. Recognizer
// service: one utterance per task, on a decoder borrowed from a per-locale pool of long-lived
// decoders. Models are looked up as models.h describes; a locale without a model is never served by
// the model of another language.
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

class DecoderGate;

// How long an analyzer keeps its decoder once its input has run dry (nothing queued, no speech
// under way) before it gives the decoder and its place back; audio that comes again later takes
// them anew. Well above the gaps of a live source: capture delivers a chunk every 243 ms (p50),
// 272 ms at most on a loaded machine.
inline constexpr std::chrono::milliseconds kDecoderIdleRelease{2000};

struct AnalysisSettings {
  // The places analyzers decode in (decoder_gate.h), shared by all analyzers of the service;
  // null: a gate of machineDecoderLimit() places.
  std::shared_ptr<DecoderGate> gate;
  std::chrono::milliseconds idleRelease = kDecoderIdleRelease;
};

// An analyzer holds no decoder until audio comes: one whose input never gets any costs a thread
// and no decoder.
std::shared_ptr<speech::AnalysisService> makeAnalysisService(AnalysisSettings settings = {});
std::shared_ptr<speech::RecognizerService> makeRecognizerService();

// Recognition tasks whose worker has not finished yet (a cancelled task finishes once its
// current buffer is decoded). For diagnostics and tests.
size_t runningRecognitionTasks();
// Waits until no recognition task is running; false when `timeout` passed first.
bool waitForRecognitionTasksToFinish(std::chrono::milliseconds timeout);

}  // namespace brimlow::pocketsphinx
