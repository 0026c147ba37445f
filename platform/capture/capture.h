#pragma once
// System-audio capture as the capture program needs it: what can be captured (outputs and the
// applications that play), a filter that leaves applications out, a stream configuration, and a
// stream that delivers audio buffers on one serial context chosen by its user.
//
// Thread rules: completion handlers and the stop delegate run on a thread of the implementation
// and must not call back into the same stream synchronously; audio buffers arrive only through
// the executor given to addStreamOutput, one after the other.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/any_io_executor.hpp>

#include "platform/expected.h"
#include "support/audio/audio.h"
#include "support/system/system.h"

namespace brimlow::platform::capture {

// A failure of the capture service: a domain, a code and a description for people.
struct CaptureError {
  std::string domain;
  int code = 0;
  std::string description;
};

// An output whose sound can be recorded (stands for a display of the reference platform).
struct Display {
  uint32_t displayID = 0;
  std::string name;  // the sound server's name of the output
};

struct RunningApplication {
  pid_t processID = 0;
  std::string applicationName;
};

struct ShareableContent {
  std::vector<Display> displays;  // the default output first
  std::vector<RunningApplication> applications;
};

// Records what `display` plays, without the sound of `excludedApplications`. On a sound server
// the system audio is what every output plays, so there `display` is only the one that was
// chosen; the recording follows all of them.
struct ContentFilter {
  Display display;
  std::vector<RunningApplication> excludedApplications;
};

struct StreamConfiguration {
  uint32_t width = 1920;
  uint32_t height = 1080;
  double minimumFrameIntervalSeconds = 0.0;
  uint32_t queueDepth = 8;
  bool showsCursor = true;
  bool capturesAudio = false;
  bool excludesCurrentProcessAudio = false;
  uint32_t sampleRate = 48000;
  uint32_t channelCount = 2;
  std::optional<bool> captureMicrophone;  // left alone unless set
};

enum class OutputType { screen, audio };

// One delivered piece of audio. `numSamples` frames in `format`; copyPCMData copies them into a
// buffer of that format and returns 0, or a non-zero status when the data cannot be read.
class SampleBuffer {
 public:
  SampleBuffer() = default;
  // A readable buffer holding `pcm` (its frame length is the sample count).
  explicit SampleBuffer(audio::PcmBufferPtr pcm);

  bool isValid() const { return valid_; }
  uint32_t numSamples() const { return numSamples_; }
  const std::optional<audio::AudioFormat>& formatDescription() const { return format_; }
  int copyPCMData(audio::PcmBuffer& destination) const;
  // The samples themselves (numSamples() frames: the buffer given to the constructor is not
  // changed afterwards), read in place while this buffer lives: nullptr where copyPCMData would
  // fail whatever the destination, with its status in `status`.
  const audio::PcmBuffer* pcmData(int* status) const;

  // For stand-ins: buffers that are broken in one particular way.
  static SampleBuffer invalid(uint32_t numSamples);
  static SampleBuffer withoutFormat(uint32_t numSamples);
  static SampleBuffer failingCopy(const audio::AudioFormat& format, uint32_t numSamples,
                                  int status);

 private:
  bool valid_ = false;
  uint32_t numSamples_ = 0;
  std::optional<audio::AudioFormat> format_;
  audio::PcmBufferPtr pcm_;
  int copyStatus_ = 0;
};

class Stream;

class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void didOutputSampleBuffer(Stream& stream, const SampleBuffer& buffer,
                                     OutputType type) = 0;
};

class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  // The stream ended other than through stopCapture (server gone, output removed).
  virtual void didStopWithError(Stream& stream, const CaptureError& error) = 0;
};

using Completion = std::function<void(std::optional<CaptureError>)>;

class Stream {
 public:
  virtual ~Stream() = default;
  // Buffers of `type` go to `output` through `queue`, which must run them one at a time.
  virtual std::optional<CaptureError> addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                      OutputType type,
                                                      asio::any_io_executor queue) = 0;
  virtual void startCapture(Completion done) = 0;
  virtual void stopCapture(Completion done) = 0;
};

class CaptureService {
 public:
  virtual ~CaptureService() = default;
  virtual void getShareableContent(
      bool excludeDesktopWindows, bool onScreenWindowsOnly,
      std::function<void(Expected<ShareableContent, CaptureError>)> done) = 0;
  virtual std::shared_ptr<Stream> makeStream(const ContentFilter& filter,
                                             const StreamConfiguration& configuration,
                                             std::weak_ptr<StreamDelegate> delegate) = 0;
  // Whether capture is allowed right now, asked without prompting anyone.
  virtual bool preflightAccess() = 0;
};

// Everything brimlow-audio-capture reaches of the outside world.
struct CapturePlatform {
  std::function<OsVersion()> osVersion;
  std::shared_ptr<CaptureService> capture;
};

// This machine's sound server (PulseAudio or PipeWire through libpulse), reporting `version`.
CapturePlatform makeLinuxCapturePlatform(OsVersion version);

}  // namespace brimlow::platform::capture
