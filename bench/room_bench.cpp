// Cost of the engine's room stages (three reverb layers with diffuser,
// pre-delays and band-passes, bass enhancer, equaliser) per frame, measured
// through whole 512-frame Engine::Render calls. The channel and output stages
// ride along; with one voice they are a small part of the cost.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "channel/OrvChannelRenderer.h"
#include "engine/OrvEngine.h"


namespace {

constexpr int kBlock = 512;
constexpr double kRate = 48000.0;

class NoiseBuffer final : public orv::Buffer {
 public:
  explicit NoiseBuffer(std::size_t n) : samples(n) {
    unsigned state = 12345u;
    for (auto& x : samples) {
      state = state * 1664525u + 1013904223u;
      x = static_cast<float>(state >> 8) * (1.0f / 16777216.0f) - 0.5f;
    }
  }
  const void* GetData() const override { return samples.data(); }
  orv::AudioFormat GetFormat() const override { return orv::kAudioFormatFloat32; }
  int GetNumChannels() const override { return 1; }
  double GetSamplingRate() const override { return kRate; }
  std::int64_t GetNumSamples() const override { return static_cast<std::int64_t>(samples.size()); }

 private:
  std::vector<float> samples;
};

std::shared_ptr<orv::Engine> MakeEngine(bool withHrtf) {
  orv::EngineParam p;
  p.samplingRate = kRate;
  if (withHrtf) p.UseCarriedHrtf();
  return std::make_shared<orv::Engine>(p);
}

// A looping noise voice: non-spatialized and heard only through the reverb,
// or spatialized so that the equaliser has a binaural signal to shape.
void AddVoice(orv::Engine& engine, bool spatialized) {
  orv::ChannelParam p;
  p.gain = spatialized ? 0.5f : 0.0f;
  p.reverbGain = 0.5f;
  p.isLooped = true;
  p.loopEnd = 48000;
  p.isSpatialized = spatialized;
  p.sourcePosition = {1.0f, 0.0f, 1.0f};
  engine.CreateChannel(0.0, std::make_shared<NoiseBuffer>(48000), p);
}

void RenderLoop(benchmark::State& state, orv::Engine& engine) {
  std::vector<float> out(2 * kBlock);
  for (auto _ : state) {
    engine.Prerender();
    engine.Render(out.data(), kBlock);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
  state.counters["ns/frame"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kBlock),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}

void BM_RoomWithReverbVoice(benchmark::State& state) {
  auto engine = MakeEngine(false);
  AddVoice(*engine, false);
  RenderLoop(state, *engine);
}
BENCHMARK(BM_RoomWithReverbVoice)->Name("EngineRoom/ReverbVoice512");

// No channel at all: the room stages run on silence.
void BM_RoomSilent(benchmark::State& state) {
  auto engine = MakeEngine(false);
  RenderLoop(state, *engine);
}
BENCHMARK(BM_RoomSilent)->Name("EngineRoom/Silent512");

// Silence after a burst whose tail has died away, long after the output
// dropped below audibility.
void BM_RoomAfterTail(benchmark::State& state) {
  auto engine = MakeEngine(false);
  orv::ChannelParam p;
  p.gain = 0.0f;
  p.reverbGain = 1.0f;
  engine->CreateChannel(0.0, std::make_shared<NoiseBuffer>(4800), p);
  std::vector<float> out(2 * kBlock);
  for (int b = 0; b < 60 * 48000 / kBlock; ++b) {
    engine->Prerender();
    engine->Render(out.data(), kBlock);
  }
  RenderLoop(state, *engine);
}
BENCHMARK(BM_RoomAfterTail)->Name("EngineRoom/AfterTail512");

#if defined(ORV_HAVE_CARRIED_HRTF)
void BM_RoomWithBinauralVoice(benchmark::State& state) {
  auto engine = MakeEngine(true);
  AddVoice(*engine, true);
  RenderLoop(state, *engine);
}
BENCHMARK(BM_RoomWithBinauralVoice)->Name("EngineRoom/BinauralVoice512");
#endif

}  // namespace
