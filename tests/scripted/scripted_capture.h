#pragma once
// A capture service that replays a script: chosen shareable content, chosen buffers in chosen
// formats, failures at chosen steps, and a stream that the system stops on request. It records
// what the capture program asked of it. Used only by tests.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture/capture.h"

namespace brimlow::platform::scripted {

struct CaptureScript {
  std::optional<capture::CaptureError> contentError;
  bool contentNeverAnswers = false;
  std::vector<capture::Display> displays{{1, "scripted-output"}};
  std::vector<capture::RunningApplication> applications;
  std::optional<capture::CaptureError> addOutputError;
  std::optional<capture::CaptureError> startError;
  std::optional<capture::CaptureError> stopError;
  bool preflight = true;
  // Delivered in order on the output's queue as soon as the capture has started.
  std::vector<capture::SampleBuffer> buffers;
};

class ScriptedStream final : public capture::Stream,
                             public std::enable_shared_from_this<ScriptedStream> {
 public:
  ScriptedStream(const CaptureScript& script, std::weak_ptr<capture::StreamDelegate> delegate);

  std::optional<capture::CaptureError> addStreamOutput(std::weak_ptr<capture::StreamOutput> output,
                                                       capture::OutputType type,
                                                       asio::any_io_executor queue) override;
  void startCapture(capture::Completion done) override;
  void stopCapture(capture::Completion done) override;

  // Hands one more buffer to the output, on its queue.
  void deliver(capture::SampleBuffer buffer, capture::OutputType type = capture::OutputType::audio);
  // The system ends the stream: the delegate hears of it on the output's queue.
  void systemStop(capture::CaptureError error);

  int startCalls() const;
  int stopCalls() const;

 private:
  CaptureScript script_;
  std::weak_ptr<capture::StreamDelegate> delegate_;
  mutable std::mutex lock_;
  std::weak_ptr<capture::StreamOutput> output_;
  std::optional<asio::any_io_executor> queue_;
  int startCalls_ = 0;
  int stopCalls_ = 0;
};

class ScriptedCaptureService final : public capture::CaptureService {
 public:
  explicit ScriptedCaptureService(CaptureScript script) : script_(std::move(script)) {}

  void getShareableContent(
      bool excludeDesktopWindows, bool onScreenWindowsOnly,
      std::function<void(Expected<capture::ShareableContent, capture::CaptureError>)> done)
      override;
  std::shared_ptr<capture::Stream> makeStream(
      const capture::ContentFilter& filter, const capture::StreamConfiguration& configuration,
      std::weak_ptr<capture::StreamDelegate> delegate) override;
  bool preflightAccess() override { return script_.preflight; }

  std::optional<capture::ContentFilter> lastFilter() const;
  std::optional<capture::StreamConfiguration> lastConfiguration() const;
  std::shared_ptr<ScriptedStream> lastStream() const;

 private:
  CaptureScript script_;
  mutable std::mutex lock_;
  std::optional<capture::ContentFilter> filter_;
  std::optional<capture::StreamConfiguration> configuration_;
  std::shared_ptr<ScriptedStream> stream_;
  std::vector<std::function<void(Expected<capture::ShareableContent, capture::CaptureError>)>>
      unanswered_;  // kept so that a never-answered query is not answered by destruction
};

// A sine in `format`, cut into buffers of `framesPerBuffer`, continuous across buffers.
std::vector<capture::SampleBuffer> sineBuffers(const audio::AudioFormat& format,
                                               uint32_t framesPerBuffer, size_t bufferCount,
                                               double frequencyHz, double amplitude);

// The script of a named case, for the test-only capture executable: "48k-stereo-float",
// "44k-stereo-float", "16k-mono-int16", "no-display", "content-fails", "content-hangs",
// "start-fails", "stop-fails". Unknown names give nothing.
std::optional<CaptureScript> namedCaptureScript(const std::string& name);

}  // namespace brimlow::platform::scripted
