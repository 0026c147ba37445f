// The capture program's own work per 250 ms chunk, without the sound server: mixing the
// recorded streams' 20 ms pieces, converting them to 16 kHz int16, and writing the chunk as one
// event (to /dev/null). Argument: the number of streams playing at once.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>

#include "audio-capture/system_audio_capture.h"
#include "sound-servers/pulse/stream_mixer.h"

namespace {

using namespace brimlow;

void chunkPath(benchmark::State& state) {
  const auto streams = static_cast<uint32_t>(state.range(0));
  const int devnull = ::open("/dev/null", O_WRONLY);
  auto capture = capture::SystemAudioCapture::make(
      std::make_shared<capture::EventWriter>(devnull, devnull), {});
  std::vector<int16_t> pending;
  const audio::AudioFormat mono{16000.0, 1, audio::SampleFormat::float32};
  platform::pulse::StreamMixer mixer(1, 1600, 48000, [&](const float* samples, size_t frames) {
    auto buffer = audio::PcmBuffer::make(mono, static_cast<uint32_t>(frames));
    std::copy(samples, samples + frames, buffer->floatChannelData(0));
    buffer->setFrameLength(static_cast<uint32_t>(frames));
    auto converted = capture->convertToPCM16(platform::capture::SampleBuffer(std::move(buffer)));
    pending.insert(pending.end(), converted->begin(), converted->end());
    while (pending.size() >= static_cast<size_t>(capture::chunkFrames)) {
      capture->emit(std::span<const int16_t>(pending.data(), capture::chunkFrames));
      pending.erase(pending.begin(), pending.begin() + capture::chunkFrames);
    }
  });
  for (uint32_t s = 0; s < streams; ++s) mixer.addSource(s);
  std::vector<float> piece(320);  // 20 ms
  for (size_t i = 0; i < piece.size(); ++i) piece[i] = 0.2f * std::sin(0.05f * i);
  // 25 pieces of every stream make two chunks.
  for (auto _ : state) {
    for (int p = 0; p < 25; ++p) {
      for (uint32_t s = 0; s < streams; ++s) mixer.sourceData(s, piece.data(), piece.size());
      mixer.clockFrames(piece.size());
    }
  }
  state.SetItemsProcessed(2 * state.iterations());
  ::close(devnull);
}

BENCHMARK(chunkPath)->Arg(0)->Arg(1)->Arg(3)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
