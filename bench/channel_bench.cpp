// Voice rendering cost: ns per output sample per voice, rendering straight
// into one worker's mix buffers (Channel::RenderBlock), so the figure is the
// voice's own work without the engine's output stages.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "channel/OrvChannelRenderer.h"
#include "common/OrvBuffer.h"
#include "engine/OrvEngine.h"
#include "spatializer/OrvSpatializer.h"

#ifdef ORV_HAVE_CARRIED_HRTF
namespace orv {
extern const unsigned char kCarriedHrtfData[];
extern const std::size_t kCarriedHrtfDataSize;
}  // namespace orv
#endif

namespace {

constexpr int kBlock = 512;
constexpr int kVoices = 32;
constexpr std::int64_t kFrames = 1 << 20;  // about 22 s at 48 kHz: the voices seldom restart

class BenchBuffer final : public orv::Buffer {
 public:
  BenchBuffer(int numChannels, orv::AudioFormat format) : numChannels(numChannels), format(format) {
    const std::size_t elementSize =
        format == orv::kAudioFormatUInt8 ? 1 : (format == orv::kAudioFormatInt16 ? 2 : 4);
    bytes.resize(static_cast<std::size_t>(kFrames) * numChannels * elementSize);
    std::mt19937 rng(1);
    if (format == orv::kAudioFormatFloat32) {
      std::uniform_real_distribution<float> d(-0.5f, 0.5f);
      for (std::size_t i = 0; i < bytes.size(); i += 4) {
        const float v = d(rng);
        std::memcpy(&bytes[i], &v, 4);
      }
    } else {
      for (auto& b : bytes) b = static_cast<unsigned char>(rng());
    }
  }
  const void* GetData() const override { return bytes.data(); }
  orv::AudioFormat GetFormat() const override { return format; }
  int GetNumChannels() const override { return numChannels; }
  double GetSamplingRate() const override { return 44100.0; }  // resampled: fractional cursor
  std::int64_t GetNumSamples() const override { return kFrames; }

 private:
  int numChannels;
  orv::AudioFormat format;
  std::vector<unsigned char> bytes;
};

struct VoiceSetup {
  int numChannels = 1;
  orv::AudioFormat format = orv::kAudioFormatFloat32;
  bool isLooped = false;
  bool isSpatialized = false;
  float lowPassCoef = 1.0f;
};

void RenderVoices(benchmark::State& state, const VoiceSetup& setup, const void* hrtfData = nullptr,
                  std::size_t hrtfSize = 0) {
  orv::EngineParam param;
  param.hrtfData = hrtfData;
  param.hrtfDataSize = hrtfSize;
  auto engine = std::make_shared<orv::Engine>(param);
  auto buffer = std::make_shared<BenchBuffer>(setup.numChannels, setup.format);

  std::vector<std::shared_ptr<orv::Channel>> voices;
  for (int v = 0; v < kVoices; ++v) {
    orv::ChannelParam p;
    p.position = v * 1000.0 + 0.37;
    p.gain = 0.5f;
    p.reverbGain = 0.1f;
    p.lowPassCoef = setup.lowPassCoef;
    p.isLooped = setup.isLooped;
    p.loopStart = 1000;
    p.loopEnd = kFrames - 1000;
    p.isSpatialized = setup.isSpatialized;
    p.sourcePosition = {static_cast<float>(v % 7) - 3.0f, 0.5f, 2.0f};
    voices.push_back(engine->CreateChannel(0.0, buffer, p));
    voices.back()->Prerender();
  }

  orv::ThreadLocalBuffer buffers;
  buffers.mainMix.assign(2 * kBlock, 0.0f);
  buffers.sourceScratch.assign(kBlock, 0.0f);
  buffers.spatialMix.assign(2 * kBlock, 0.0f);
  buffers.reverbSend.assign(kBlock, 0.0f);
  buffers.dryMonoSum.assign(kBlock, 0.0f);

  // One-shot voices are sent back to their start before they run out.
  const std::int64_t blocksPerPass = (kFrames - kVoices * 1000) / kBlock - 2;
  std::int64_t block = 0;
  for (auto _ : state) {
    if (engine->spatializer) engine->spatializer->BeginRender(kBlock);
    for (auto& voice : voices) {
      voice->Prerender();  // the engine's per-block step, part of a voice's cost
      voice->RenderBlock(kBlock, buffers);
    }
    // The spatializer's convolution end stage is the engine's cost, not the
    // voices': BeginRender alone starts the next block's angle inputs.
    benchmark::DoNotOptimize(buffers.mainMix.data());
    benchmark::ClobberMemory();
    if (!setup.isLooped && ++block == blocksPerPass) {
      state.PauseTiming();
      for (int v = 0; v < kVoices; ++v) {
        voices[v]->Seek(0.0, v * 1000.0 + 0.37);
      }
      block = 0;
      state.ResumeTiming();
    }
  }
  for (auto& voice : voices) {
    if (!voice->IsPlaying()) state.SkipWithError("a voice ended during the run");
  }
  const double samples = static_cast<double>(state.iterations()) * kBlock * kVoices;
  state.SetItemsProcessed(static_cast<std::int64_t>(samples));
  // Seconds per output sample of one voice (printed with an SI prefix: 2.1n).
  state.counters["perVoiceSample"] =
      benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_VoiceMonoFloat(benchmark::State& state) { RenderVoices(state, {}); }
void BM_VoiceMonoInt16(benchmark::State& state) {
  RenderVoices(state, {1, orv::kAudioFormatInt16});
}
void BM_VoiceMonoFloatLowPass(benchmark::State& state) {
  RenderVoices(state, {1, orv::kAudioFormatFloat32, false, false, 0.3f});
}
void BM_VoiceStereoFloat(benchmark::State& state) {
  RenderVoices(state, {2, orv::kAudioFormatFloat32});
}
void BM_VoiceStereoInt16(benchmark::State& state) {
  RenderVoices(state, {2, orv::kAudioFormatInt16});
}
void BM_VoiceMonoFloatLooped(benchmark::State& state) {
  RenderVoices(state, {1, orv::kAudioFormatFloat32, true});
}
void BM_VoiceStereoUInt8Looped(benchmark::State& state) {
  RenderVoices(state, {2, orv::kAudioFormatUInt8, true});
}

#ifdef ORV_HAVE_CARRIED_HRTF
// Includes Spatializer::Source::Mix: one lock of the angle's input per call
// and the accumulation into it.
void BM_VoiceSpatializedFloat(benchmark::State& state) {
  RenderVoices(state, {1, orv::kAudioFormatFloat32, false, true}, orv::kCarriedHrtfData,
               orv::kCarriedHrtfDataSize);
}
void BM_VoiceSpatializedInt16LowPass(benchmark::State& state) {
  RenderVoices(state, {1, orv::kAudioFormatInt16, false, true, 0.3f}, orv::kCarriedHrtfData,
               orv::kCarriedHrtfDataSize);
}
BENCHMARK(BM_VoiceSpatializedFloat);
BENCHMARK(BM_VoiceSpatializedInt16LowPass);
#endif

BENCHMARK(BM_VoiceMonoFloat);
BENCHMARK(BM_VoiceMonoInt16);
BENCHMARK(BM_VoiceMonoFloatLowPass);
BENCHMARK(BM_VoiceStereoFloat);
BENCHMARK(BM_VoiceStereoInt16);
BENCHMARK(BM_VoiceMonoFloatLooped);
BENCHMARK(BM_VoiceStereoUInt8Looped);

}  // namespace
