#include "stt-helper/legacy/dictation_probe.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "protocol/pcm_payload.h"
#include "stt-helper/event_writer.h"
#include "support/text.h"

namespace brimlow::stt {

namespace {

struct CachedVerdict {
  DictationAvailability verdict;
  double checkedAtMs;
};

// The backend asks only from the main queue, but the health mode asks from its own thread; a
// lock costs nothing next to a probe.
std::mutex cacheMutex;
std::optional<CachedVerdict> cachedDictation;

void storeVerdict(DictationAvailability verdict) {
  std::lock_guard lock(cacheMutex);
  cachedDictation = CachedVerdict{verdict, nowMilliseconds()};
}

// What the probe's handler and the waiting caller share. The handler may run after the probe
// has given up and returned, so it must own its share of the state.
struct ProbeState {
  std::mutex mutex;
  std::condition_variable answered;
  std::optional<DictationAvailability> verdict;
};

}  // namespace

const char* toString(DictationAvailability verdict) {
  switch (verdict) {
    case DictationAvailability::enabled:
      return "enabled";
    case DictationAvailability::disabled:
      return "disabled";
    case DictationAvailability::unknown:
      return "unknown";
  }
  return "unknown";
}

std::optional<DictationAvailability> dictationAvailabilityFromString(const std::string& text) {
  if (text == "enabled") return DictationAvailability::enabled;
  if (text == "disabled") return DictationAvailability::disabled;
  if (text == "unknown") return DictationAvailability::unknown;
  return std::nullopt;
}

DictationAvailability dictationAvailability(speech::RecognizerService& service,
                                            const std::string& localeIdentifier,
                                            double timeoutSeconds) {
  {
    std::lock_guard lock(cacheMutex);
    if (cachedDictation) {
      const double elapsedSeconds = (nowMilliseconds() - cachedDictation->checkedAtMs) / 1000.0;
      if (cachedDictation->verdict != DictationAvailability::disabled ||
          elapsedSeconds < dictationRecheckIntervalSeconds)
        return cachedDictation->verdict;
    }
  }
  DictationAvailability verdict = probeDictation(service, localeIdentifier, timeoutSeconds);
  storeVerdict(verdict);
  return verdict;
}

std::optional<DictationAvailability> cachedDictationVerdict() {
  std::lock_guard lock(cacheMutex);
  if (!cachedDictation) return std::nullopt;
  return cachedDictation->verdict;
}

void recordDictationDisabled() {
  storeVerdict(DictationAvailability::disabled);
}

void resetDictationCacheForTesting() {
  std::lock_guard lock(cacheMutex);
  cachedDictation.reset();
}

bool isDictationDisabledError(const speech::SpeechError& error) {
  if (error.code == speech::kDictationDisabledErrorCode) return true;
  const std::string description = common::lowercased(error.description);
  return description.find("dictation") != std::string::npos &&
         description.find("disabled") != std::string::npos;
}

audio::PcmBufferPtr makeSilentBuffer(double milliseconds) {
  const double frames = helperSampleRate * milliseconds / 1000.0;
  if (!(frames >= 0.0) || frames > static_cast<double>(UINT32_MAX)) return nullptr;
  const auto frameCount = static_cast<uint32_t>(frames);
  auto buffer = audio::PcmBuffer::make(audio::pcm16Mono16k(), frameCount);
  if (!buffer) return nullptr;
  int16_t* samples = buffer->int16ChannelData(0);
  if (!samples && frameCount > 0) return nullptr;
  std::fill(samples, samples + frameCount, int16_t{0});
  buffer->setFrameLength(frameCount);
  return buffer;
}

DictationAvailability probeDictation(speech::RecognizerService& service,
                                     const std::string& localeIdentifier, double timeoutSeconds) {
  if (service.authorizationStatus() != speech::kAuthorizationAuthorized)
    return DictationAvailability::unknown;
  auto recognizer = service.recognizer(localeIdentifier);
  if (!recognizer || !recognizer->supportsOnDeviceRecognition())
    return DictationAvailability::unknown;
  auto silence = makeSilentBuffer(120.0);
  if (!silence) return DictationAvailability::unknown;

  speech::RecognitionRequestOptions options;
  options.shouldReportPartialResults = false;
  options.requiresOnDeviceRecognition = true;
  options.taskHint = speech::kTaskHintDictation;
  auto request = std::make_shared<speech::AudioBufferRecognitionRequest>(options);

  auto state = std::make_shared<ProbeState>();
  auto task = recognizer->recognitionTask(
      request, [state](const std::optional<speech::RecognitionResult>& result,
                       const std::optional<speech::SpeechError>& error) {
        std::lock_guard lock(state->mutex);
        if (state->verdict) return;  // the first answer wins
        if (error) {
          state->verdict = isDictationDisabledError(*error) ? DictationAvailability::disabled
                                                            : DictationAvailability::enabled;
        } else if (result && result->isFinal) {
          state->verdict = DictationAvailability::enabled;
        } else {
          return;  // a partial result says nothing yet
        }
        state->answered.notify_all();
      });
  request->appendAudioPCMBuffer(silence);
  request->endAudio();

  // There is no run loop to turn here: the engine calls the handler on a thread of its own, so
  // waiting on the condition is all it takes. The deadline is measured on the steady clock,
  // since the wall clock may be held still by a test.
  const auto timeout = std::chrono::duration<double>(std::max(0.0, timeoutSeconds));
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
  {
    std::unique_lock lock(state->mutex);
    state->answered.wait_until(lock, deadline, [&] { return state->verdict.has_value(); });
  }
  if (task) task->cancel();
  std::lock_guard lock(state->mutex);
  return state->verdict.value_or(DictationAvailability::unknown);
}

}  // namespace brimlow::stt
