// Cost of converting one 250 ms "audio" chunk into the analyzer's format, per chunk, with the
// converter kept from one chunk to the next as the channel keeps it.
#include <benchmark/benchmark.h>

#include <cmath>

#include "stt-helper/analyzer/buffer_converter.h"

namespace {

using brimlow::audio::AudioFormat;
using brimlow::audio::PcmBuffer;
using brimlow::audio::SampleFormat;

void convertChunk(benchmark::State& state, AudioFormat target) {
  auto chunk = PcmBuffer::make(brimlow::audio::pcm16Mono16k(), 4000);
  for (uint32_t i = 0; i < 4000; ++i)
    chunk->int16ChannelData(0)[i] = static_cast<int16_t>(8000 * std::sin(i * 0.1));
  chunk->setFrameLength(4000);
  brimlow::stt::BufferConverter converter;
  for (auto _ : state) {
    auto converted = converter.convert(chunk, target);
    benchmark::DoNotOptimize(converted);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(convertChunk, to48kFloat, AudioFormat{48000.0, 1, SampleFormat::float32});
BENCHMARK_CAPTURE(convertChunk, to16kFloat, AudioFormat{16000.0, 1, SampleFormat::float32});
BENCHMARK_CAPTURE(convertChunk, passThrough, brimlow::audio::pcm16Mono16k());

}  // namespace

BENCHMARK_MAIN();
