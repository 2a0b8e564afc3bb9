#include "ORVFFT/StandardFFTSetup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ORVFFT/FFTReference.h"
#include "ORVFFT/OrvFFT.h"
#include "ORVFFT/Twiddles.h"

namespace {

using orvfft::CreateFFTSetup;
using orvfft::DataType;
using orvfft::FFTInput;
using orvfft::FFTParam;
using orvfft::FFTSetup;
using orvfft::StandardFFTSetup;
using orvfft::cpu::kFeatureLevelGeneric;
using orvfft::cpu::kFeatureLevelSimd4;
using orvtest::ComplexSignal;
using orvtest::DirectDft;
using orvtest::PlacedBuffer;
using orvtest::RandomComplex;
using orvtest::RelativeRmsError;
using orvtest::Scatter;

using Plan = std::unique_ptr<FFTSetup>;

// Single-precision factors carry half an ulp (~6e-8) of rounding and every
// pass adds rounding of that order, so the error grows like eps·sqrt(log N),
// about 1e-7 at N = 4096; 1e-5 leaves room without hiding a wrong factor
// (which costs errors of order 1).
constexpr double kFloatFftTolerance = 1e-5;
// Double factors come from angles summed one step at a time (up to N/4
// additions per factor row), so the worst can drift by ~N·eps ≈ 1e-13 at
// N = 4096; the transform's own rounding is ~1e-15.
constexpr double kDoubleFftTolerance = 1e-12;
// Both kernels evaluate the same butterflies; they may differ only in the
// order of a few float operations, a few ulps per pass.
constexpr double kKernelAgreementTolerance = 1e-6;

Plan MakePlan(std::vector<std::size_t> size, bool backward,
              DataType type = orvfft::kDataTypeFloat) {
  FFTParam param;
  param.size = std::move(size);
  param.backward = backward;
  param.dataType = type;
  if (type == orvfft::kDataTypeDouble) {
    param.stride = sizeof(double);
    param.distance = sizeof(double);
  }
  return Plan(CreateFFTSetup(param));
}

FFTParam OneDimension(std::size_t n, bool backward) {
  FFTParam param;
  param.size = {n};
  param.backward = backward;
  return param;
}

template <typename T>
std::vector<T> Narrow(const std::vector<long double>& v) {
  return std::vector<T>(v.begin(), v.end());
}

// Runs plan out of place on x and returns the output arrays.
template <typename T>
std::pair<std::vector<T>, std::vector<T>> Apply(FFTSetup& plan, const ComplexSignal& x) {
  const std::vector<T> inRe = Narrow<T>(x.re), inIm = Narrow<T>(x.im);
  std::vector<T> outRe(x.size()), outIm(x.size());
  plan.Transform(FFTInput{outRe.data(), outIm.data(), inRe.data(), inIm.data()});
  return {outRe, outIm};
}

struct Worst {
  double error = 0.0;
  std::size_t length = 0;
  void Add(double e, std::size_t n) {
    if (e >= error) {
      error = e;
      length = n;
    }
  }
};

TEST(StandardFFTSetup, EverySupportedLengthMatchesDirectDft) {
  // The plans CreateFFTSetup makes at each vector level this processor has:
  // 8-wide, and 4-wide with the 8-wide path switched off.
  std::vector<orv::simd::Level> levels;
  for (const auto level : {orv::simd::Level::kSimd8, orv::simd::Level::kSimd4}) {
    if (orv::simd::DetectedLevel() >= level) levels.push_back(level);
  }
  for (const bool backward : {false, true}) {
    Worst floatVector[2], floatGeneric, doublePlan;
    for (const std::size_t n : orvtest::SupportedLengths(4096)) {
      SCOPED_TRACE("N = " + std::to_string(n) + (backward ? " backward" : " forward"));
      const ComplexSignal x = RandomComplex(n, static_cast<std::uint32_t>(n));
      const ComplexSignal reference = DirectDft(x, backward);

      for (std::size_t l = 0; l < levels.size(); ++l) {
        orvtest::ScopedLevelLimit limit(levels[l]);
        const Plan vectorPlan = MakePlan({n}, backward);
        const auto [vr, vi] = Apply<float>(*vectorPlan, x);
        const double vectorError = RelativeRmsError(vr.data(), vi.data(), reference);
        EXPECT_LT(vectorError, kFloatFftTolerance) << "level " << static_cast<int>(levels[l]);
        floatVector[l].Add(vectorError, n);
      }

      std::unique_ptr<FFTSetup> genericPlan;
      if (backward) {
        genericPlan =
            std::make_unique<StandardFFTSetup<kFeatureLevelGeneric, orvfft::kDataTypeFloat, true>>(
                OneDimension(n, true));
      } else {
        genericPlan =
            std::make_unique<StandardFFTSetup<kFeatureLevelGeneric, orvfft::kDataTypeFloat, false>>(
                OneDimension(n, false));
      }
      const auto [gr, gi] = Apply<float>(*genericPlan, x);
      const double genericError = RelativeRmsError(gr.data(), gi.data(), reference);
      EXPECT_LT(genericError, kFloatFftTolerance);
      floatGeneric.Add(genericError, n);

      const Plan doubleFft = MakePlan({n}, backward, orvfft::kDataTypeDouble);
      const auto [dr, di] = Apply<double>(*doubleFft, x);
      const double doubleError = RelativeRmsError(dr.data(), di.data(), reference);
      EXPECT_LT(doubleError, kDoubleFftTolerance);
      doublePlan.Add(doubleError, n);
    }
    const char* direction = backward ? "backward" : "forward";
    std::printf("[ relative RMS error vs long-double DFT, N <= 4096, %s ]\n", direction);
    for (std::size_t l = 0; l < levels.size(); ++l) {
      std::printf("  float, %d-wide plans : worst %.3g at N = %zu\n",
                  levels[l] == orv::simd::Level::kSimd8 ? 8 : 4, floatVector[l].error,
                  floatVector[l].length);
    }
    std::printf("  float, generic kernel: worst %.3g at N = %zu\n", floatGeneric.error,
                floatGeneric.length);
    std::printf("  double               : worst %.3g at N = %zu\n", doublePlan.error,
                doublePlan.length);
    RecordProperty(std::string("worstFloatError_") + direction,
                   std::to_string(floatVector[0].error));
    RecordProperty(std::string("worstDoubleError_") + direction, std::to_string(doublePlan.error));
  }
}

template <bool backward>
void CheckKernelsAgree(std::size_t n) {
  const ComplexSignal x = RandomComplex(n, static_cast<std::uint32_t>(3 * n + backward));
  StandardFFTSetup<kFeatureLevelGeneric, orvfft::kDataTypeFloat, backward> generic(
      OneDimension(n, backward));
  StandardFFTSetup<kFeatureLevelSimd4, orvfft::kDataTypeFloat, backward> vector(
      OneDimension(n, backward));
  const auto [gr, gi] = Apply<float>(generic, x);

  // Both aligned, both off by one float, and each array on its own.
  const std::pair<std::size_t, std::size_t> placements[] = {{0, 0}, {1, 1}, {2, 3}, {0, 1}, {3, 0}};
  for (const auto& [offsetRe, offsetIm] : placements) {
    SCOPED_TRACE("N = " + std::to_string(n) + ", offsets " + std::to_string(offsetRe) + "/" +
                 std::to_string(offsetIm) + (backward ? ", backward" : ", forward"));
    PlacedBuffer re(n, offsetRe), im(n, offsetIm);
    for (std::size_t i = 0; i < n; ++i) {
      re.data()[i] = static_cast<float>(x.re[i]);
      im.data()[i] = static_cast<float>(x.im[i]);
    }
    vector.Transform(FFTInput{re.data(), im.data(), re.data(), im.data()});
    const ComplexSignal genericResult{std::vector<long double>(gr.begin(), gr.end()),
                                      std::vector<long double>(gi.begin(), gi.end())};
    EXPECT_LT(RelativeRmsError(re.data(), im.data(), genericResult), kKernelAgreementTolerance);
    EXPECT_TRUE(re.GuardsIntact());
    EXPECT_TRUE(im.GuardsIntact());
  }
}

TEST(StandardFFTSetup, VectorAndGenericKernelsAgreeOnAnyAlignment) {
  for (const std::size_t n : orvtest::SupportedLengths(4096)) {
    CheckKernelsAgree<false>(n);
    CheckKernelsAgree<true>(n);
  }
}

TEST(StandardFFTSetup, LengthOneOnlyCopiesTheInput) {
  const float inRe = 0.25f, inIm = -3.5f;
  float outRe = 0.0f, outIm = 0.0f;
  for (const bool backward : {false, true}) {
    StandardFFTSetup<kFeatureLevelSimd4, orvfft::kDataTypeFloat, false> plan(
        OneDimension(1, false));
    EXPECT_EQ(plan.PassCount(), 0u);
    const Plan created = MakePlan({1}, backward);
    created->Transform(FFTInput{&outRe, &outIm, &inRe, &inIm});
    EXPECT_EQ(outRe, inRe);
    EXPECT_EQ(outIm, inIm);
  }
}

TEST(StandardFFTSetup, ImpulseTransformsToAllOnes) {
  for (const std::size_t n : {2u, 3u, 4u, 8u, 12u, 64u, 96u, 1024u}) {
    for (const bool backward : {false, true}) {
      ComplexSignal x{std::vector<long double>(n, 0.0L), std::vector<long double>(n, 0.0L)};
      x.re[0] = 1.0L;
      const Plan plan = MakePlan({n}, backward);
      const auto [re, im] = Apply<float>(*plan, x);
      for (std::size_t k = 0; k < n; ++k) {
        ASSERT_FLOAT_EQ(re[k], 1.0f) << "N = " << n << ", k = " << k;
        ASSERT_FLOAT_EQ(im[k], 0.0f) << "N = " << n << ", k = " << k;
      }
    }
  }
}

TEST(StandardFFTSetup, ComplexExponentialLandsInBinOne) {
  for (const std::size_t n : {4u, 6u, 16u, 36u, 256u, 1536u}) {
    ComplexSignal x{std::vector<long double>(n), std::vector<long double>(n)};
    for (std::size_t i = 0; i < n; ++i) {
      const long double angle =
          2.0L * M_PIl * static_cast<long double>(i) / static_cast<long double>(n);
      x.re[i] = std::cos(angle);
      x.im[i] = std::sin(angle);
    }
    ComplexSignal expected{std::vector<long double>(n, 0.0L), std::vector<long double>(n, 0.0L)};
    expected.re[1] = static_cast<long double>(n);
    const Plan floatPlan = MakePlan({n}, false);
    const auto [fr, fi] = Apply<float>(*floatPlan, x);
    EXPECT_LT(RelativeRmsError(fr.data(), fi.data(), expected), kFloatFftTolerance) << "N = " << n;
    const Plan doublePlan = MakePlan({n}, false, orvfft::kDataTypeDouble);
    const auto [dr, di] = Apply<double>(*doublePlan, x);
    EXPECT_LT(RelativeRmsError(dr.data(), di.data(), expected), kDoubleFftTolerance) << "N = " << n;
  }
}

TEST(StandardFFTSetup, ForwardThenBackwardScalesByN) {
  for (const std::size_t n : orvtest::SupportedLengths(4096)) {
    const ComplexSignal x = RandomComplex(n, 5u);
    ComplexSignal scaled = x;
    for (std::size_t i = 0; i < n; ++i) {
      scaled.re[i] *= static_cast<long double>(n);
      scaled.im[i] *= static_cast<long double>(n);
    }
    const Plan forward = MakePlan({n}, false), backward = MakePlan({n}, true);
    std::vector<float> re = Narrow<float>(x.re), im = Narrow<float>(x.im);
    forward->Transform(FFTInput{re.data(), im.data(), re.data(), im.data()});
    backward->Transform(FFTInput{re.data(), im.data(), re.data(), im.data()});
    EXPECT_LT(RelativeRmsError(re.data(), im.data(), scaled), kFloatFftTolerance) << "N = " << n;

    const Plan forwardD = MakePlan({n}, false, orvfft::kDataTypeDouble);
    const Plan backwardD = MakePlan({n}, true, orvfft::kDataTypeDouble);
    std::vector<double> reD = Narrow<double>(x.re), imD = Narrow<double>(x.im);
    forwardD->Transform(FFTInput{reD.data(), imD.data(), reD.data(), imD.data()});
    backwardD->Transform(FFTInput{reD.data(), imD.data(), reD.data(), imD.data()});
    EXPECT_LT(RelativeRmsError(reD.data(), imD.data(), scaled), kDoubleFftTolerance) << "N = " << n;
  }
}

TEST(StandardFFTSetup, OutOfPlaceLeavesTheInputAsItWas) {
  // One, two, three and more passes: odd counts start in the output arrays.
  for (const std::size_t n : {2u, 8u, 32u, 96u, 128u, 512u}) {
    for (const bool backward : {false, true}) {
      const ComplexSignal x = RandomComplex(n, 61u);
      const std::vector<float> inRe = Narrow<float>(x.re), inIm = Narrow<float>(x.im);
      std::vector<float> re(inRe), im(inIm), outRe(n), outIm(n);
      const Plan plan = MakePlan({n}, backward);
      plan->Transform(FFTInput{outRe.data(), outIm.data(), re.data(), im.data()});
      EXPECT_EQ(re, inRe) << "N = " << n;
      EXPECT_EQ(im, inIm) << "N = " << n;
      EXPECT_LT(RelativeRmsError(outRe.data(), outIm.data(), DirectDft(x, backward)),
                kFloatFftTolerance);
    }
  }
}

TEST(StandardFFTSetup, RealInPlaceWithImaginaryOutOfPlace) {
  for (const std::size_t n : {2u, 32u, 128u}) {
    const ComplexSignal x = RandomComplex(n, 62u);
    std::vector<float> re = Narrow<float>(x.re);
    const std::vector<float> inIm = Narrow<float>(x.im);
    std::vector<float> outIm(n);
    const Plan plan = MakePlan({n}, false);
    plan->Transform(FFTInput{re.data(), outIm.data(), re.data(), inIm.data()});
    EXPECT_LT(RelativeRmsError(re.data(), outIm.data(), DirectDft(x, false)), kFloatFftTolerance)
        << "N = " << n;
    EXPECT_EQ(inIm, Narrow<float>(x.im));
  }
}

TEST(StandardFFTSetup, FactorisesFoursFirstThenTwoThenThrees) {
  struct Case {
    std::size_t n;
    std::vector<std::uint32_t> radices;
  };
  const Case cases[] = {{1, {}},         {2, {2}},        {3, {3}},
                        {8, {4, 2}},     {12, {4, 3}},    {6, {2, 3}},
                        {18, {2, 3, 3}}, {64, {4, 4, 4}}, {96, {4, 4, 2, 3}}};
  for (const Case& c : cases) {
    StandardFFTSetup<kFeatureLevelGeneric, orvfft::kDataTypeDouble, false> plan([&] {
      FFTParam p = OneDimension(c.n, false);
      p.dataType = orvfft::kDataTypeDouble;
      p.stride = p.distance = sizeof(double);
      return p;
    }());
    ASSERT_EQ(plan.PassCount(), c.radices.size()) << "N = " << c.n;
    std::size_t inner = 1;
    for (std::size_t i = 0; i < c.radices.size(); ++i) {
      const orvfft::kernel::KernelParam& pass = plan.PassParam(i);
      EXPECT_EQ(pass.radix, c.radices[i]) << "N = " << c.n << ", pass " << i;
      EXPECT_EQ(pass.innerCount, inner);
      EXPECT_EQ(pass.groupCount, c.n / inner / c.radices[i]);
      EXPECT_EQ(pass.butterflyCount, c.n / c.radices[i]);
      EXPECT_EQ(pass.twiddleOffset, plan.SharedTwiddles()->LevelOffsets()[i]);
      EXPECT_EQ(pass.stride, sizeof(double));
      inner *= c.radices[i];
    }
  }
}

TEST(CreateFFTSetup, RejectsBadRequestsWithTheirMessages) {
  struct Case {
    FFTParam param;
    std::string message;
  };
  auto with = [](std::vector<std::size_t> size, DataType type = orvfft::kDataTypeFloat,
                 std::size_t parallel = 1) {
    FFTParam p;
    p.size = std::move(size);
    p.dataType = type;
    p.parallel = parallel;
    return p;
  };
  const std::string radix = "Failed to create FFT plan. Radix not found.";
  const Case cases[] = {
      {with({}), "The number of dimensions is zero."},
      {with({}, static_cast<DataType>(7)), "The number of dimensions is zero."},
      {with({0}), "Zero size."},
      {with({8, 0}), "Zero size."},
      {with({0}, static_cast<DataType>(7)), "Zero size."},
      {with({8}, static_cast<DataType>(2)), "Invalid data type."},
      {with({8, 4}, static_cast<DataType>(2)), "Invalid data type."},
      {with({5}), radix},
      {with({7}), radix},
      {with({10}), radix},
      {with({14}, orvfft::kDataTypeDouble), radix},
      {with({4096 * 5}), radix},
      {with({4, 7}), radix},
      {with({4, 4}, orvfft::kDataTypeFloat, 2),
       "Multi-dimensional parallel transformation is not supported."},
      {with({std::size_t{1} << 33}), "Size too large."},
  };
  for (const Case& c : cases) {
    try {
      const Plan plan(CreateFFTSetup(c.param));
      ADD_FAILURE() << "no exception, expected \"" << c.message << "\"";
    } catch (const orvfft::Exception& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  // A failed length leaves nothing in the twiddle cache.
  for (const unsigned n : {5u, 7u, 10u, 14u, 4096u * 5u}) {
    EXPECT_EQ(orvfft::Twiddles::GetCacheState(n), orvfft::Twiddles::CacheState::kAbsent) << n;
  }
}

template <typename T>
void CheckStrided(std::size_t n, std::size_t strideElems, bool backward, bool inPlace) {
  SCOPED_TRACE("N = " + std::to_string(n) + ", stride " + std::to_string(strideElems) +
               (inPlace ? ", in place" : ", out of place"));
  constexpr T kMarker = T(777.25);
  FFTParam param = OneDimension(n, backward);
  param.dataType = sizeof(T) == sizeof(float) ? orvfft::kDataTypeFloat : orvfft::kDataTypeDouble;
  param.stride = strideElems * sizeof(T);
  param.distance = param.stride;
  const Plan plan(CreateFFTSetup(param));
  const ComplexSignal x = RandomComplex(n, 23u);
  const ComplexSignal reference = DirectDft(x, backward);
  std::vector<T> re = Scatter<T>(x.re, strideElems, kMarker);
  std::vector<T> im = Scatter<T>(x.im, strideElems, kMarker);
  if (inPlace) {
    plan->Transform(FFTInput{re.data(), im.data(), re.data(), im.data()});
  } else {
    const std::vector<T> inRe = re, inIm = im;
    std::fill(re.begin(), re.end(), T(-1.5));
    std::fill(im.begin(), im.end(), T(-1.5));
    plan->Transform(FFTInput{re.data(), im.data(), inRe.data(), inIm.data()});
  }
  const double tolerance = sizeof(T) == sizeof(float) ? kFloatFftTolerance : kDoubleFftTolerance;
  EXPECT_LT(RelativeRmsError(re.data(), im.data(), reference, strideElems), tolerance);
  const T gap = inPlace ? kMarker : T(-1.5);
  for (std::size_t i = 0; i < re.size(); ++i) {
    if (i % strideElems == 0 && i / strideElems < n) continue;
    ASSERT_EQ(re[i], gap) << "real element " << i << " between strides was written";
    ASSERT_EQ(im[i], gap) << "imaginary element " << i << " between strides was written";
  }
}

TEST(StandardFFTSetup, StridedTransformsLeaveTheElementsBetweenUntouched) {
  for (const bool inPlace : {true, false}) {
    for (const bool backward : {false, true}) {
      CheckStrided<float>(16, 2, backward, inPlace);
      CheckStrided<float>(48, 2, backward, inPlace);
      CheckStrided<float>(96, 3, backward, inPlace);
      CheckStrided<double>(12, 3, backward, inPlace);
      CheckStrided<double>(256, 2, backward, inPlace);
    }
  }
}

TEST(StandardFFTSetup, BatchedTransformsRunEachOneAtItsDistance) {
  // Three transforms of 24 floats with a gap of three floats between them,
  // so the second and third start off a 16-byte boundary.
  constexpr std::size_t kN = 24, kParallel = 3, kDistanceElems = kN + 3;
  constexpr float kMarker = 31.0f;
  FFTParam param = OneDimension(kN, false);
  param.parallel = kParallel;
  param.distance = kDistanceElems * sizeof(float);
  const Plan plan(CreateFFTSetup(param));
  std::vector<float> re(kParallel * kDistanceElems, kMarker), im(re.size(), kMarker);
  std::vector<ComplexSignal> inputs;
  for (std::size_t b = 0; b < kParallel; ++b) {
    inputs.push_back(RandomComplex(kN, 40u + static_cast<std::uint32_t>(b)));
    for (std::size_t i = 0; i < kN; ++i) {
      re[b * kDistanceElems + i] = static_cast<float>(inputs[b].re[i]);
      im[b * kDistanceElems + i] = static_cast<float>(inputs[b].im[i]);
    }
  }
  plan->Transform(FFTInput{re.data(), im.data(), re.data(), im.data()});
  for (std::size_t b = 0; b < kParallel; ++b) {
    const ComplexSignal reference = DirectDft(inputs[b], false);
    EXPECT_LT(
        RelativeRmsError(re.data() + b * kDistanceElems, im.data() + b * kDistanceElems, reference),
        kFloatFftTolerance)
        << "transform " << b;
    for (std::size_t i = kN; i < kDistanceElems && b * kDistanceElems + i < re.size(); ++i) {
      EXPECT_EQ(re[b * kDistanceElems + i], kMarker);
      EXPECT_EQ(im[b * kDistanceElems + i], kMarker);
    }
  }
}

TEST(StandardFFTSetup, BatchedOutOfPlaceTransformsEachOne) {
  constexpr std::size_t kN = 32, kParallel = 4, kDistanceElems = kN + 1;
  FFTParam param = OneDimension(kN, true);
  param.parallel = kParallel;
  param.distance = kDistanceElems * sizeof(float);
  const Plan plan(CreateFFTSetup(param));
  std::vector<float> inRe(kParallel * kDistanceElems), inIm(inRe.size());
  std::vector<float> outRe(inRe.size(), 0.0f), outIm(inRe.size(), 0.0f);
  std::vector<ComplexSignal> inputs;
  for (std::size_t b = 0; b < kParallel; ++b) {
    inputs.push_back(RandomComplex(kN, 80u + static_cast<std::uint32_t>(b)));
    for (std::size_t i = 0; i < kN; ++i) {
      inRe[b * kDistanceElems + i] = static_cast<float>(inputs[b].re[i]);
      inIm[b * kDistanceElems + i] = static_cast<float>(inputs[b].im[i]);
    }
  }
  plan->Transform(FFTInput{outRe.data(), outIm.data(), inRe.data(), inIm.data()});
  for (std::size_t b = 0; b < kParallel; ++b) {
    EXPECT_LT(RelativeRmsError(outRe.data() + b * kDistanceElems, outIm.data() + b * kDistanceElems,
                               DirectDft(inputs[b], true)),
              kFloatFftTolerance)
        << "transform " << b;
    EXPECT_EQ(outRe[b * kDistanceElems + kN], 0.0f) << "gap after transform " << b;
  }
}

TEST(StandardFFTSetup, ZeroParallelTransformsNothing) {
  FFTParam param = OneDimension(8, false);
  param.parallel = 0;
  const Plan plan(CreateFFTSetup(param));
  std::vector<float> inRe(8, 1.0f), inIm(8, 2.0f), outRe(8, 5.0f), outIm(8, 6.0f);
  plan->Transform(FFTInput{outRe.data(), outIm.data(), inRe.data(), inIm.data()});
  EXPECT_EQ(outRe, std::vector<float>(8, 5.0f));
  EXPECT_EQ(outIm, std::vector<float>(8, 6.0f));
}

}  // namespace
