// Cost of the room (three reverb layers with diffuser, pre-delays and
// band-passes, bass enhancer, equaliser) per frame at 48 kHz in 512-frame
// blocks: the Room alone, per-sample (the plain form) against block-wise, on
// one thread and with its layers split over two; then through whole
// Engine::Render calls, where the channel and output stages ride along (with
// one voice they are a small part of the cost). The "ms/s" counter is the
// cost per second of audio.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <vector>

#include "channel/OrvChannelRenderer.h"
#include "engine/OrvEngine.h"
#include "engine/OrvEngine_ThreadPool.h"
#include "room/OrvRoom.h"

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

// Frames per second of wall time turned into milliseconds per audio second.
void CountFrames(benchmark::State& state, std::int64_t frames) {
  state.SetItemsProcessed(frames);
  state.counters["ns/frame"] = benchmark::Counter(
      static_cast<double>(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
      benchmark::Counter::kIs1000);
  state.counters["ms/s"] =
      benchmark::Counter(static_cast<double>(frames) / (kRate * 1e3),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// --- The Room alone ---------------------------------------------------------------

// The signals of a busy block: a reverb send, a dry mono sum and a binaural
// mix of noise.
struct RoomSignals {
  std::vector<float> send, dry, spatial, mainMix, dryMonoSum;
  RoomSignals() {
    NoiseBuffer noise(4 * kBlock);
    const float* n = static_cast<const float*>(noise.GetData());
    send.assign(n, n + kBlock);
    dry.assign(n + kBlock, n + 2 * kBlock);
    spatial.assign(n + 2 * kBlock, n + 4 * kBlock);
    mainMix.resize(2 * kBlock);
    dryMonoSum.resize(kBlock);
  }
};

enum class RoomForm { kPerSample, kBlocks, kTwoThreads };

void BM_Room(benchmark::State& state, RoomForm form, bool isSilent) {
  orv::Room room(kRate);
  RoomSignals s;
  if (isSilent) {
    std::fill(s.send.begin(), s.send.end(), 0.0f);
    std::fill(s.dry.begin(), s.dry.end(), 0.0f);
    std::fill(s.spatial.begin(), s.spatial.end(), 0.0f);
  }
  orv::ThreadPool pool(2);
  // Slot 0 takes the short and medium layers, slot 1 the long one (the
  // three cost about the same).
  const std::function<void(std::size_t)> layers = [&room](std::size_t k) {
    if (k == 0)
      room.RenderLayers(orv::kShortLayer, orv::kLongLayer);
    else
      room.RenderLayers(orv::kLongLayer, orv::kNumReverbLayers);
  };
  for (auto _ : state) {
    std::copy(s.dry.begin(), s.dry.end(), s.dryMonoSum.begin());
    std::fill(s.mainMix.begin(), s.mainMix.end(), 0.0f);
    switch (form) {
      case RoomForm::kPerSample:
        room.RenderReverbPerSample(s.send.data(), s.mainMix.data(), s.dryMonoSum.data(), kBlock);
        break;
      case RoomForm::kBlocks:
        room.RenderReverb(s.send.data(), s.mainMix.data(), s.dryMonoSum.data(), kBlock);
        break;
      case RoomForm::kTwoThreads:
        room.BeginReverb(s.send.data(), kBlock);
        pool.ExecuteParallel(2, layers);
        room.EndReverb(s.mainMix.data(), s.dryMonoSum.data());
        break;
    }
    room.RenderBassEnhancer(s.dryMonoSum.data(), s.mainMix.data(), kBlock);
    room.RenderEqualizer(s.spatial.data(), s.mainMix.data(), kBlock);
    benchmark::DoNotOptimize(s.mainMix.data());
  }
  CountFrames(state, state.iterations() * kBlock);
}
BENCHMARK_CAPTURE(BM_Room, PerSample512, RoomForm::kPerSample, false)->Name("Room/PerSample512");
BENCHMARK_CAPTURE(BM_Room, Blocks512, RoomForm::kBlocks, false)->Name("Room/Blocks512");
// Wall time of one thread against two, for the split.
BENCHMARK_CAPTURE(BM_Room, OneThread512, RoomForm::kBlocks, false)
    ->Name("Room/Blocks512/OneThread")
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Room, TwoThreads512, RoomForm::kTwoThreads, false)
    ->Name("Room/Blocks512/TwoThreads")
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Room, SilentPerSample512, RoomForm::kPerSample, true)
    ->Name("Room/PerSample512/Silent");
BENCHMARK_CAPTURE(BM_Room, SilentBlocks512, RoomForm::kBlocks, true)->Name("Room/Blocks512/Silent");

// One layer's share of the block-wise reverb, and the stages around the layers.
void BM_RoomPart(benchmark::State& state) {
  const int part = static_cast<int>(state.range(0));  // a layer, or 3: begin and end only
  orv::Room room(kRate);
  RoomSignals s;
  for (auto _ : state) {
    room.BeginReverb(s.send.data(), kBlock);
    if (part < orv::kNumReverbLayers) room.RenderLayers(part, part + 1);
    room.EndReverb(s.mainMix.data(), s.dryMonoSum.data());
    benchmark::DoNotOptimize(s.mainMix.data());
  }
  CountFrames(state, state.iterations() * kBlock);
}
BENCHMARK(BM_RoomPart)->Name("Room/Blocks512/Part")->DenseRange(0, 3);

// The tone stages alone: 0 the bass enhancer, 1 the equaliser's pipeline,
// 2 the equaliser frame by frame.
void BM_RoomTone(benchmark::State& state) {
  const int stage = static_cast<int>(state.range(0));
  orv::BassEnhancer bass(static_cast<float>(kRate));
  orv::Equalizer equalizer(static_cast<float>(kRate));
  RoomSignals s;
  for (auto _ : state) {
    if (stage == 0)
      bass.Process(s.dry.data(), s.mainMix.data(), kBlock);
    else if (stage == 1)
      equalizer.Process(s.spatial.data(), s.mainMix.data(), kBlock);
    else
      equalizer.ProcessScalar(s.spatial.data(), s.mainMix.data(), kBlock);
    std::fill(s.mainMix.begin(), s.mainMix.end(), 0.0f);
    benchmark::DoNotOptimize(s.mainMix.data());
  }
  CountFrames(state, state.iterations() * kBlock);
}
BENCHMARK(BM_RoomTone)->Name("Room/Tone512/Bass0Pipeline1Scalar2")->DenseRange(0, 2);

// --- Through the engine ---------------------------------------------------------------

void RenderLoop(benchmark::State& state, orv::Engine& engine) {
  std::vector<float> out(2 * kBlock);
  for (auto _ : state) {
    engine.Prerender();
    engine.Render(out.data(), kBlock);
    benchmark::DoNotOptimize(out.data());
  }
  CountFrames(state, state.iterations() * kBlock);
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

void BM_RoomWithBinauralVoice(benchmark::State& state) {
  auto engine = MakeEngine(true);
  AddVoice(*engine, true);
  RenderLoop(state, *engine);
}
BENCHMARK(BM_RoomWithBinauralVoice)->Name("EngineRoom/BinauralVoice512");

}  // namespace
