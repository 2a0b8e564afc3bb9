// Cost of the reverb and the filters per frame, as the render loop calls them.
#include <benchmark/benchmark.h>

#include <vector>

#include "dsp/OrvReverb.h"
#include "dsp/OrvUtils.h"

namespace {

std::vector<float> BenchNoise(std::size_t n) {
  std::vector<float> v(n);
  unsigned state = 12345u;
  for (auto& x : v) {
    state = state * 1664525u + 1013904223u;
    x = static_cast<float>(state >> 8) * (1.0f / 16777216.0f) - 0.5f;
  }
  return v;
}

template <bool useVector>
void BM_ReverbProcessSample(benchmark::State& state) {
  orv::Reverb reverb(48000.0);
  reverb.SetRT60Time(3.0f);
  reverb.SetSize(0.036f);
  reverb.SetDelayRange(1.65f);
  reverb.SetHFReverbTimeRatio(8000.0f, 0.8f);
  reverb.Update();
  const std::vector<float> input = BenchNoise(4096);
  std::size_t i = 0;
  for (auto _ : state) {
    orv::Reverb::Output out;
#if defined(ORV_HAVE_SIMD4)
    if constexpr (useVector)
      out = reverb.ProcessSampleVector(input[i]);
    else
#endif
      out = reverb.ProcessSampleScalar(input[i]);
    benchmark::DoNotOptimize(out);
    i = (i + 1) & 4095;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReverbProcessSample<true>)->Name("Reverb/ProcessSample/vector");
BENCHMARK(BM_ReverbProcessSample<false>)->Name("Reverb/ProcessSample/scalar");

// The long layer over 512-frame blocks, per frame: the per-sample steps
// (the plain form) against the block form, each on its vector and scalar path.
enum class ReverbForm { kSampleVector, kSampleScalar, kBlockVector, kBlockScalar };

void BM_ReverbBlock(benchmark::State& state, ReverbForm form) {
  constexpr int kBlock = 512;
  orv::Reverb reverb(48000.0);
  reverb.SetRT60Time(3.0f);
  reverb.SetSize(0.036f);
  reverb.SetDelayRange(1.65f);
  reverb.SetHFReverbTimeRatio(8000.0f, 0.8f);
  reverb.Update();
  const std::vector<float> input = BenchNoise(kBlock);
  std::vector<float> left(kBlock), right(kBlock);
  for (auto _ : state) {
    switch (form) {
      case ReverbForm::kBlockVector:
        reverb.ProcessBlock(input.data(), kBlock, 6, left.data(), 7, right.data());
        break;
      case ReverbForm::kBlockScalar:
        reverb.ProcessBlockScalar(input.data(), kBlock, 6, left.data(), 7, right.data());
        break;
      default:
        for (int i = 0; i < kBlock; ++i) {
#if defined(ORV_HAVE_SIMD4)
          const orv::Reverb::Output out = form == ReverbForm::kSampleVector
                                              ? reverb.ProcessSampleVector(input[i])
                                              : reverb.ProcessSampleScalar(input[i]);
#else
          const orv::Reverb::Output out = reverb.ProcessSampleScalar(input[i]);
#endif
          left[i] = out[6];
          right[i] = out[7];
        }
        break;
    }
    benchmark::DoNotOptimize(left.data());
    benchmark::DoNotOptimize(right.data());
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
}
BENCHMARK_CAPTURE(BM_ReverbBlock, SampleVector, ReverbForm::kSampleVector)
    ->Name("Reverb/Long512/PerSample/vector");
BENCHMARK_CAPTURE(BM_ReverbBlock, SampleScalar, ReverbForm::kSampleScalar)
    ->Name("Reverb/Long512/PerSample/scalar");
BENCHMARK_CAPTURE(BM_ReverbBlock, BlockVector, ReverbForm::kBlockVector)
    ->Name("Reverb/Long512/Block/vector");
BENCHMARK_CAPTURE(BM_ReverbBlock, BlockScalar, ReverbForm::kBlockScalar)
    ->Name("Reverb/Long512/Block/scalar");

// The engine's six-band equaliser over a 512-frame stereo block.
template <bool useVector>
void BM_EqualiserChain(benchmark::State& state) {
  const float bands[6][3] = {{380, 0.1f, 16}, {7900, 0.4f, 7}, {1700, 1.4f, 7},
                             {6000, 1.4f, 7}, {3000, 0.3f, 1}, {9000, 0.3f, 10}};
  std::vector<orv::DualBiquadFilter> chain(6);
  for (int b = 0; b < 6; ++b) chain[b].PeakingEQ(48000.0f, bands[b][0], bands[b][1], bands[b][2]);
  std::vector<float> block = BenchNoise(1024);
  for (auto _ : state) {
    for (int i = 0; i < 512; ++i) {
      float l = block[2 * i], r = block[2 * i + 1];
      for (auto& f : chain) {
#if defined(ORV_HAVE_SIMD4)
        if constexpr (useVector)
          f.ProcessVector(l, r);
        else
#endif
          f.ProcessScalar(l, r);
      }
      block[2 * i] = l * 0.5f;
      block[2 * i + 1] = r * 0.5f;
    }
    benchmark::DoNotOptimize(block.data());
  }
  state.SetItemsProcessed(state.iterations() * 512);
}
BENCHMARK(BM_EqualiserChain<true>)->Name("DualBiquad/SixBands512/vector");
BENCHMARK(BM_EqualiserChain<false>)->Name("DualBiquad/SixBands512/scalar");

}  // namespace
