// FFT, real FFT and convolver block-step timings, with FFTW (where installed)
// timed on the same work as the reference.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "ORVFFT/OrvFFT.h"
#include "ORVFFT/StandardFFTSetup.h"
#include "common/OrvSimd.h"
#include "dsp/OrvConvolver_RealFFT.h"
#include "dsp/OrvInternals_AlignedArray.h"
#include "dsp/OrvInternals_Vector.h"

#if defined(ORV_HAVE_FFTW)
#include <fftw3.h>
#endif

namespace {

using orv::AlignedArray;

// The machine running these is usually shared: the fastest repetition is the
// figure least disturbed by other work.
double Fastest(const std::vector<double>& runs) {
  return *std::min_element(runs.begin(), runs.end());
}

std::vector<float> Noise(std::size_t n, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(engine);
  return v;
}

AlignedArray<float> Filled(std::size_t n, std::uint32_t seed) {
  const std::vector<float> noise = Noise(n, seed);
  AlignedArray<float> a(n);
  std::copy(noise.begin(), noise.end(), a.Data());
  return a;
}

// Runs f with the kernels capped at `level` (plans take their level when
// made; the array kernels read it on every call).
template <typename F>
void AtLevel(orv::simd::Level level, F&& f) {
  orv::simd::LimitLevelForTesting(level);
  f();
  orv::simd::LimitLevelForTesting(orv::simd::Level::kSimd8);
}

// The ways a forward transform is timed, side by side per length: Orv's
// plan at each vector level and without vectors, the pass-per-radix 4-wide
// plan these lengths had before (Stockham passes; for the real FFT with its
// deinterleaving and chained untangling factors); FFTW beside them.
enum class Form { kOrv8, kOrv4, kOrvScalar, kOrvPasses };

constexpr orv::simd::Level LevelOf(Form form) {
  return form == Form::kOrv8   ? orv::simd::Level::kSimd8
         : form == Form::kOrv4 ? orv::simd::Level::kSimd4
                               : orv::simd::Level::kScalar;
}

// Forward complex transform, split format, out of place (as the real FFT
// wrapper runs it).
void OrvComplexForward(benchmark::State& state, Form form) {
  const auto n = static_cast<std::size_t>(state.range(0));
  orvfft::FFTParam param;
  param.size = {n};
  std::unique_ptr<orvfft::FFTSetup> plan;
  if (form == Form::kOrvPasses) {
    plan = std::make_unique<
        orvfft::StandardFFTSetup<orvfft::cpu::kFeatureLevelSimd4, orvfft::kDataTypeFloat, false>>(
        param);
  } else {
    AtLevel(LevelOf(form), [&] { plan.reset(orvfft::CreateFFTSetup(param)); });
  }
  const AlignedArray<float> inRe = Filled(n, 1), inIm = Filled(n, 2);
  AlignedArray<float> outRe(n), outIm(n);
  const orvfft::FFTInput io{outRe.Data(), outIm.Data(), inRe.Data(), inIm.Data()};
  for (auto _ : state) {
    plan->Transform(io);
    benchmark::DoNotOptimize(outRe.Data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

// The real FFT's forward transform as it was: deinterleave, the 4-wide
// passes, the untangling with factors from four chains of products.
class PreviousRealForward {
 public:
  explicit PreviousRealForward(int n) : n(n), plan(ParamOf(n)), even(n), odd(n), zRe(n), zIm(n) {
    const float theta = static_cast<float>(-3.141592653589793 / n);
    twiddle = {std::cos(theta), std::sin(theta)};
  }
  void Run(float* outRe, float* outIm, const float* in) {
    orv::Deinterleave(n, even.Data(), odd.Data(), in);
    plan.Transform(orvfft::FFTInput{zRe.Data(), zIm.Data(), even.Data(), odd.Data()});
    outRe[0] = (zRe[0] + zIm[0]) * 0.5f;
    outIm[0] = 0.0f;
    outRe[n] = (zRe[0] - zIm[0]) * 0.5f;
    outIm[n] = 0.0f;
    const std::complex<float> minusIW(twiddle.imag(), -twiddle.real());
    orv::UntangleSpectrum(n, outRe, outIm, zRe.Data(), zIm.Data(), minusIW, twiddle, 0.25f);
  }

 private:
  static orvfft::FFTParam ParamOf(int n) {
    orvfft::FFTParam param;
    param.size = {static_cast<std::size_t>(n)};
    return param;
  }
  int n;
  orvfft::StandardFFTSetup<orvfft::cpu::kFeatureLevelSimd4, orvfft::kDataTypeFloat, false> plan;
  AlignedArray<float> even, odd, zRe, zIm;
  std::complex<float> twiddle;
};

// 2N real samples to N + 1 split bins; range(0) = 2N.
void OrvRealForward(benchmark::State& state, Form form) {
  const int n = static_cast<int>(state.range(0)) / 2;
  const AlignedArray<float> in = Filled(2 * n, 3);
  AlignedArray<float> re(n + 1), im(n + 1);
  if (form == Form::kOrvPasses) {
    PreviousRealForward fft(n);
    for (auto _ : state) {
      fft.Run(re.Data(), im.Data(), in.Data());
      benchmark::DoNotOptimize(re.Data());
      benchmark::ClobberMemory();
    }
    return;
  }
  AtLevel(LevelOf(form), [&] {
    orv::RealFFT fft(n);
    for (auto _ : state) {
      fft.ForwardTransform(re.Data(), im.Data(), in.Data());
      benchmark::DoNotOptimize(re.Data());
      benchmark::ClobberMemory();
    }
  });
}

void BM_OrvRealBackward(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)) / 2;
  orv::RealFFT fft(n);
  const AlignedArray<float> re = Filled(n + 1, 4), im = Filled(n + 1, 5);
  AlignedArray<float> out(2 * n);
  for (auto _ : state) {
    fft.BackwardTransform(out.Data(), re.Data(), im.Data());
    benchmark::DoNotOptimize(out.Data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_OrvRealBackward)->Arg(256)->ComputeStatistics("min", Fastest);

// The array kernels on the block step's sizes, at each level: the products
// of 129 bins with two spectra, and a 256-sample accumulation.
void OrvComplexMultiply(benchmark::State& state, Form form) {
  constexpr std::size_t kBins = 129;
  const AlignedArray<float> xRe = Filled(kBins, 1), xIm = Filled(kBins, 2), aRe = Filled(kBins, 3),
                            aIm = Filled(kBins, 4), bRe = Filled(kBins, 5), bIm = Filled(kBins, 6);
  AlignedArray<float> o1Re(kBins), o1Im(kBins), o2Re(kBins), o2Im(kBins);
  AtLevel(LevelOf(form), [&] {
    for (auto _ : state) {
      orv::ComplexMultiply(kBins, o1Re.Data(), o1Im.Data(), o2Re.Data(), o2Im.Data(), xRe.Data(),
                           xIm.Data(), aRe.Data(), aIm.Data(), bRe.Data(), bIm.Data());
      benchmark::DoNotOptimize(o1Re.Data());
      benchmark::ClobberMemory();
    }
  });
}

void OrvAccumulate(benchmark::State& state, Form form) {
  constexpr std::size_t kN = 256;
  const AlignedArray<float> a = Filled(kN, 1);
  AlignedArray<float> dst = Filled(kN, 2);
  AtLevel(LevelOf(form), [&] {
    for (auto _ : state) {
      orv::Accumulate(kN, dst.Data(), a.Data());
      benchmark::DoNotOptimize(dst.Data());
      benchmark::ClobberMemory();
    }
  });
}

#if defined(ORV_HAVE_FFTW)

struct FftwFloats {
  explicit FftwFloats(std::size_t n) : data(static_cast<float*>(fftwf_malloc(n * sizeof(float)))) {}
  ~FftwFloats() { fftwf_free(data); }
  FftwFloats(const FftwFloats&) = delete;
  FftwFloats& operator=(const FftwFloats&) = delete;
  float* data;
};

void FftwComplexForward(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  FftwFloats inRe(n), inIm(n), outRe(n), outIm(n);
  fftw_iodim dim{n, 1, 1};
  fftwf_plan plan = fftwf_plan_guru_split_dft(1, &dim, 0, nullptr, inRe.data, inIm.data, outRe.data,
                                              outIm.data, FFTW_MEASURE);
  const std::vector<float> re = Noise(n, 1), im = Noise(n, 2);
  std::copy(re.begin(), re.end(), inRe.data);
  std::copy(im.begin(), im.end(), inIm.data);
  for (auto _ : state) {
    fftwf_execute(plan);
    benchmark::DoNotOptimize(outRe.data);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  fftwf_destroy_plan(plan);
}

// Split output, as Orv's; or FFTW's native interleaved complex output,
// usually its fastest: the strictest reference for the real FFT.
void FftwRealForward(benchmark::State& state, bool isInterleaved) {
  const auto n = static_cast<int>(state.range(0));
  FftwFloats in(n), re(n / 2 + 1), im(n / 2 + 1), spectrum(n + 2);
  fftw_iodim dim{n, 1, 1};
  fftwf_plan plan =
      isInterleaved ? fftwf_plan_dft_r2c_1d(
                          n, in.data, reinterpret_cast<fftwf_complex*>(spectrum.data), FFTW_MEASURE)
                    : fftwf_plan_guru_split_dft_r2c(1, &dim, 0, nullptr, in.data, re.data, im.data,
                                                    FFTW_MEASURE);
  const std::vector<float> x = Noise(n, 3);
  std::copy(x.begin(), x.end(), in.data);
  for (auto _ : state) {
    fftwf_execute(plan);
    benchmark::DoNotOptimize(re.data);
    benchmark::DoNotOptimize(spectrum.data);
    benchmark::ClobberMemory();
  }
  fftwf_destroy_plan(plan);
}

void BM_FftwRealBackward(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  FftwFloats re(n / 2 + 1), im(n / 2 + 1), out(n), scratchRe(n / 2 + 1), scratchIm(n / 2 + 1);
  fftw_iodim dim{n, 1, 1};
  // c2r destroys its input, so each run starts from a fresh copy.
  fftwf_plan plan = fftwf_plan_guru_split_dft_c2r(1, &dim, 0, nullptr, scratchRe.data,
                                                  scratchIm.data, out.data, FFTW_MEASURE);
  const std::vector<float> r = Noise(n / 2 + 1, 4), i = Noise(n / 2 + 1, 5);
  std::copy(r.begin(), r.end(), re.data);
  std::copy(i.begin(), i.end(), im.data);
  for (auto _ : state) {
    std::copy(re.data, re.data + n / 2 + 1, scratchRe.data);
    std::copy(im.data, im.data + n / 2 + 1, scratchIm.data);
    fftwf_execute(plan);
    benchmark::DoNotOptimize(out.data);
    benchmark::ClobberMemory();
  }
  fftwf_destroy_plan(plan);
}
BENCHMARK(BM_FftwRealBackward)->Arg(256)->ComputeStatistics("min", Fastest);

// The block step's arithmetic with FFTW's transforms: one r2c of the
// zero-padded block, the two spectrum products, two c2r, scale and overlap
// add: a lower bound for one 128-tap convolution step in the time domain,
// against which the binaural stage's shared transforms compare.
void BM_FftwIdealBlockStep(benchmark::State& state) {
  constexpr int kN = 128, kLength = 2 * kN, kBins = kN + 1;
  AlignedArray<float> block(kLength), productRe(kBins), productIm(kBins), rightRe(kBins),
      rightIm(kBins);
  AlignedArray<float> leftOut(kLength), rightOut(kLength), leftTail(kN), rightTail(kN);
  const AlignedArray<float> hLeftRe = Filled(kBins, 9), hLeftIm = Filled(kBins, 10);
  const AlignedArray<float> hRightRe = Filled(kBins, 11), hRightIm = Filled(kBins, 12);
  const AlignedArray<float> input = Filled(kN, 8);
  std::fill(block.begin(), block.end(), 0.0f);
  std::fill(leftOut.begin(), leftOut.end(), 0.0f);
  std::fill(rightOut.begin(), rightOut.end(), 0.0f);
  fftw_iodim dim{kLength, 1, 1};
  fftwf_plan forward = fftwf_plan_guru_split_dft_r2c(
      1, &dim, 0, nullptr, block.Data(), productRe.Data(), productIm.Data(), FFTW_MEASURE);
  fftwf_plan backwardLeft = fftwf_plan_guru_split_dft_c2r(
      1, &dim, 0, nullptr, productRe.Data(), productIm.Data(), leftOut.Data(), FFTW_MEASURE);
  fftwf_plan backwardRight = fftwf_plan_guru_split_dft_c2r(
      1, &dim, 0, nullptr, rightRe.Data(), rightIm.Data(), rightOut.Data(), FFTW_MEASURE);
  std::copy(input.begin(), input.end(), block.Data());
  for (auto _ : state) {
    fftwf_execute(forward);
    orv::ComplexMultiply(kBins, productRe.Data(), productIm.Data(), rightRe.Data(), rightIm.Data(),
                         productRe.Data(), productIm.Data(), hLeftRe.Data(), hLeftIm.Data(),
                         hRightRe.Data(), hRightIm.Data());
    std::copy(leftOut.Data() + kN, leftOut.Data() + kLength, leftTail.Data());
    std::copy(rightOut.Data() + kN, rightOut.Data() + kLength, rightTail.Data());
    fftwf_execute(backwardLeft);
    fftwf_execute(backwardRight);
    orv::Scale(kLength, leftOut.Data(), 1.0f / kLength);
    orv::Scale(kLength, rightOut.Data(), 1.0f / kLength);
    orv::Accumulate(kN, leftOut.Data(), leftTail.Data());
    orv::Accumulate(kN, rightOut.Data(), rightTail.Data());
    benchmark::DoNotOptimize(leftOut.Data());
    benchmark::DoNotOptimize(rightOut.Data());
    benchmark::ClobberMemory();
  }
  fftwf_destroy_plan(forward);
  fftwf_destroy_plan(backwardLeft);
  fftwf_destroy_plan(backwardRight);
}
BENCHMARK(BM_FftwIdealBlockStep)->ComputeStatistics("min", Fastest);

#if defined(ORV_HAVE_SIMD4)
// out = x · h over n interleaved complex values (n even, 16-byte aligned),
// two values per vector.
void MultiplyInterleaved(std::size_t n, float* out, const float* x, const float* h) {
  using namespace orv::simd;
  alignas(16) static const float kSigns[4] = {-1.0f, 1.0f, -1.0f, 1.0f};
  const Float4 signs = Load(kSigns);
  for (std::size_t i = 0; i < 2 * n; i += 4) {
    const Float4 xv = Load(x + i), hv = Load(h + i);
    const Float4 re = Shuffle<0, 0, 2, 2>(xv, xv), im = Shuffle<1, 1, 3, 3>(xv, xv);
    const Float4 swapped = Shuffle<1, 0, 3, 2>(hv, hv);
    Store(out + i, Add(Mul(re, hv), Mul(Mul(im, swapped), signs)));
  }
}

// The same step with FFTW's fastest real transforms (interleaved spectra)
// and vectorised spectrum products: the strictest reference.
void BM_FftwIdealBlockStepInterleaved(benchmark::State& state) {
  constexpr int kN = 128, kLength = 2 * kN, kBins = kN + 1, kPaddedBins = kBins + 1;
  AlignedArray<float> block(kLength), spectrum(2 * kPaddedBins), left(2 * kPaddedBins),
      right(2 * kPaddedBins);
  AlignedArray<float> leftOut(kLength), rightOut(kLength), leftTail(kN), rightTail(kN);
  const AlignedArray<float> hLeft = Filled(2 * kPaddedBins, 9),
                            hRight = Filled(2 * kPaddedBins, 10);
  const AlignedArray<float> input = Filled(kN, 8);
  auto* spectrumC = reinterpret_cast<fftwf_complex*>(spectrum.Data());
  fftwf_plan forward = fftwf_plan_dft_r2c_1d(kLength, block.Data(), spectrumC, FFTW_MEASURE);
  fftwf_plan backwardLeft = fftwf_plan_dft_c2r_1d(
      kLength, reinterpret_cast<fftwf_complex*>(left.Data()), leftOut.Data(), FFTW_MEASURE);
  fftwf_plan backwardRight = fftwf_plan_dft_c2r_1d(
      kLength, reinterpret_cast<fftwf_complex*>(right.Data()), rightOut.Data(), FFTW_MEASURE);
  std::fill(block.begin(), block.end(), 0.0f);
  std::fill(spectrum.begin(), spectrum.end(), 0.0f);
  std::fill(leftOut.begin(), leftOut.end(), 0.0f);
  std::fill(rightOut.begin(), rightOut.end(), 0.0f);
  std::copy(input.begin(), input.end(), block.Data());
  for (auto _ : state) {
    fftwf_execute(forward);
    MultiplyInterleaved(kPaddedBins, left.Data(), spectrum.Data(), hLeft.Data());
    MultiplyInterleaved(kPaddedBins, right.Data(), spectrum.Data(), hRight.Data());
    std::copy(leftOut.Data() + kN, leftOut.Data() + kLength, leftTail.Data());
    std::copy(rightOut.Data() + kN, rightOut.Data() + kLength, rightTail.Data());
    fftwf_execute(backwardLeft);
    fftwf_execute(backwardRight);
    orv::Scale(kLength, leftOut.Data(), 1.0f / kLength);
    orv::Scale(kLength, rightOut.Data(), 1.0f / kLength);
    orv::Accumulate(kN, leftOut.Data(), leftTail.Data());
    orv::Accumulate(kN, rightOut.Data(), rightTail.Data());
    benchmark::DoNotOptimize(leftOut.Data());
    benchmark::DoNotOptimize(rightOut.Data());
    benchmark::ClobberMemory();
  }
  fftwf_destroy_plan(forward);
  fftwf_destroy_plan(backwardLeft);
  fftwf_destroy_plan(backwardRight);
}
BENCHMARK(BM_FftwIdealBlockStepInterleaved)->ComputeStatistics("min", Fastest);
#endif  // ORV_HAVE_SIMD4

#endif  // ORV_HAVE_FFTW

// Registered per length so each length's forms print next to each other.
const bool kSideBySideRegistered = [] {
  const std::pair<const char*, Form> orvForms[] = {{"Orv8wide", Form::kOrv8},
                                                   {"Orv4wide", Form::kOrv4},
                                                   {"OrvScalar", Form::kOrvScalar},
                                                   {"OrvPreviousPasses4wide", Form::kOrvPasses}};
  for (const int n : {64, 128, 256, 512, 1024}) {
    for (const auto& [name, form] : orvForms) {
      if (LevelOf(form) > orv::simd::DetectedLevel()) continue;
      benchmark::RegisterBenchmark((std::string("ComplexForward/") + name).c_str(),
                                   OrvComplexForward, form)
          ->Arg(n)
          ->ComputeStatistics("min", Fastest);
    }
#if defined(ORV_HAVE_FFTW)
    benchmark::RegisterBenchmark("ComplexForward/Fftw", FftwComplexForward)
        ->Arg(n)
        ->ComputeStatistics("min", Fastest);
#endif
  }
  // 256 real samples (N = 128 complex points), the binaural stage's transform.
  for (const auto& [name, form] : orvForms) {
    if (LevelOf(form) > orv::simd::DetectedLevel()) continue;
    benchmark::RegisterBenchmark((std::string("RealForward/") + name).c_str(), OrvRealForward, form)
        ->Arg(256)
        ->ComputeStatistics("min", Fastest);
  }
  const std::pair<const char*, Form> levelForms[] = {{"Orv8wide", Form::kOrv8},
                                                     {"Orv4wide", Form::kOrv4}};
  for (const auto& [name, form] : levelForms) {
    if (LevelOf(form) > orv::simd::DetectedLevel()) continue;
    benchmark::RegisterBenchmark((std::string("ComplexMultiply129/") + name).c_str(),
                                 OrvComplexMultiply, form)
        ->ComputeStatistics("min", Fastest);
    benchmark::RegisterBenchmark((std::string("Accumulate256/") + name).c_str(), OrvAccumulate,
                                 form)
        ->ComputeStatistics("min", Fastest);
  }
#if defined(ORV_HAVE_FFTW)
  benchmark::RegisterBenchmark("RealForward/FftwSplit", FftwRealForward, false)
      ->Arg(256)
      ->ComputeStatistics("min", Fastest);
  benchmark::RegisterBenchmark("RealForward/FftwInterleaved", FftwRealForward, true)
      ->Arg(256)
      ->ComputeStatistics("min", Fastest);
#endif
  return true;
}();

}  // namespace
