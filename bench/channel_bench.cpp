// Voice rendering cost: ns per output sample per voice, rendering straight
// into one worker's mix buffers (Channel::RenderBlock), so the figure is the
// voice's own work without the engine's output stages. The SpatializedPath
// pairs set the span renderer beside the per-sample form it replaced
// (tests/channel/ChannelReference.h), with a source that mixes nothing.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <type_traits>
#include <vector>

#include "channel/OrvChannelRenderer.h"
#include "channel/OrvChannelRenderer_Renderers.h"
#include "common/OrvBuffer.h"
#include "engine/OrvEngine.h"
#include "spatializer/OrvSpatializer.h"
#include "spatializer/OrvSpatializer_CarriedData.h"

// The per-sample reference, shared with the channel tests.
#include "../tests/channel/ChannelReference.h"

namespace {

constexpr int kBlock = 512;
constexpr int kVoices = 32;
constexpr std::int64_t kFrames = 1 << 20;  // about 22 s at 48 kHz: the voices seldom restart

class BenchBuffer final : public orv::Buffer {
 public:
  BenchBuffer(int numChannels, orv::AudioFormat format, double samplingRate = 44100.0)
      : numChannels(numChannels), format(format), samplingRate(samplingRate) {
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
  // 44.1 kHz by default: resampled, a fractional cursor.
  double GetSamplingRate() const override { return samplingRate; }
  std::int64_t GetNumSamples() const override { return kFrames; }

 private:
  int numChannels;
  orv::AudioFormat format;
  double samplingRate;
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

// A spatialized mono voice's own path at the output rate: speed 1 from whole
// frames (the plain copy) and speed 1.7 (interpolated), steady gains. Source
// is a sink, so the spatializer's share is left out.
struct SinkSource {
  void Mix(const float* samples, int /*offset*/, int /*count*/, const orv::Vector3& /*position*/,
           std::size_t /*lane*/ = 0) {
    benchmark::DoNotOptimize(samples);
  }
  float* SteadyInput(int /*offset*/, const orv::Vector3& /*position*/, std::size_t /*lane*/ = 0) {
    return nullptr;
  }
  int Group() const noexcept { return -1; }
};

template <orv::AudioFormat format, bool perSample>
void BM_SpatializedPath(benchmark::State& state) {
  using Sampler = orv::LinearSampler<1, format, false>;
  using Voice = std::conditional_t<
      perSample, orvtest::PerSampleVoice<Sampler, orvtest::VoiceKind::kSpatialized, SinkSource>,
      orv::SpatializedRenderer<Sampler, SinkSource>>;
  const double speed = static_cast<double>(state.range(0)) / 10.0;
  const BenchBuffer buffer(1, format, 48000.0);
  const auto sink = std::make_shared<SinkSource>();
  std::vector<orv::ChannelParam> params(kVoices);
  std::vector<std::unique_ptr<Voice>> voices;
  for (int v = 0; v < kVoices; ++v) {
    orv::ChannelParam& p = params[v];
    p.speed = speed;
    p.position = v * 1000.0;
    p.gain = 0.5f;
    p.reverbGain = 0.1f;
    p.isSpatialized = true;
    p.sourcePosition = {static_cast<float>(v % 7) - 3.0f, 0.5f, 2.0f};
    if constexpr (perSample) {
      voices.push_back(std::make_unique<Voice>(buffer, &p, 48000.0, sink));
    } else {
      const orv::Channel::RendererBuildParam build{&buffer, &p, 1, 1, format, 48000.0, nullptr};
      voices.push_back(std::make_unique<Voice>(build, sink));
    }
  }
  orv::ThreadLocalBuffer buffers;
  buffers.mainMix.assign(2 * kBlock, 0.0f);
  buffers.sourceScratch.assign(kBlock, 0.0f);
  buffers.spatialMix.assign(2 * kBlock, 0.0f);
  buffers.reverbSend.assign(kBlock, 0.0f);
  buffers.dryMonoSum.assign(kBlock, 0.0f);
  const double lastStart = static_cast<double>(kFrames) - 2.0 * kBlock * speed;
  for (auto _ : state) {
    for (auto& voice : voices) voice->Render(0, kBlock, buffers);
    benchmark::DoNotOptimize(buffers.dryMonoSum.data());
    benchmark::ClobberMemory();
    if (params[kVoices - 1].position > lastStart) {
      for (int v = 0; v < kVoices; ++v) params[v].position = v * 1000.0;
    }
  }
  const double samples = static_cast<double>(state.iterations()) * kBlock * kVoices;
  state.SetItemsProcessed(static_cast<std::int64_t>(samples));
  state.counters["perVoiceSample"] =
      benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
// Argument: speed times 10.
BENCHMARK(BM_SpatializedPath<orv::kAudioFormatFloat32, true>)
    ->Name("BM_SpatializedPathFloat/perSample")
    ->Arg(10)
    ->Arg(17);
BENCHMARK(BM_SpatializedPath<orv::kAudioFormatFloat32, false>)
    ->Name("BM_SpatializedPathFloat/span")
    ->Arg(10)
    ->Arg(17);
BENCHMARK(BM_SpatializedPath<orv::kAudioFormatInt16, true>)
    ->Name("BM_SpatializedPathInt16/perSample")
    ->Arg(10)
    ->Arg(17);
BENCHMARK(BM_SpatializedPath<orv::kAudioFormatInt16, false>)
    ->Name("BM_SpatializedPathInt16/span")
    ->Arg(10)
    ->Arg(17);

BENCHMARK(BM_VoiceMonoFloat);
BENCHMARK(BM_VoiceMonoInt16);
BENCHMARK(BM_VoiceMonoFloatLowPass);
BENCHMARK(BM_VoiceStereoFloat);
BENCHMARK(BM_VoiceStereoInt16);
BENCHMARK(BM_VoiceMonoFloatLooped);
BENCHMARK(BM_VoiceStereoUInt8Looped);

}  // namespace
