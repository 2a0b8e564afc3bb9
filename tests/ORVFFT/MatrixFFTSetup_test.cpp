#include "ORVFFT/MatrixFFTSetup.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ORVFFT/FFTReference.h"
#include "ORVFFT/StandardFFTSetup.h"

namespace {

using orvfft::FFTInput;
using orvfft::FFTParam;
using orvfft::MatrixFFTSetup;
using orvtest::ComplexSignal;
using orvtest::PlacedBuffer;

// The matrix kernels and the generic passes round differently (other
// factorisation, fused multiply-adds at 8 lanes); each is within ~2e-7 of
// the exact transform at these lengths, so they agree to a few times that.
constexpr double kKernelAgreementTolerance = 1e-6;

const std::size_t kMatrixLengths[] = {16, 32, 64, 128, 256, 512, 1024};

FFTParam OneDimension(std::size_t n, bool backward) {
  FFTParam param;
  param.size = {n};
  param.backward = backward;
  return param;
}

// The vector levels this processor can run, widest first.
std::vector<orvfft::cpu::FeatureLevel> VectorLevels() {
  std::vector<orvfft::cpu::FeatureLevel> levels;
  for (const auto level : {orvfft::cpu::kFeatureLevelSimd8, orvfft::cpu::kFeatureLevelSimd4}) {
    if (orvfft::cpu::Supports(level)) levels.push_back(level);
  }
  return levels;
}

// The scalar plan's result, the reference for the vector ones.
template <bool backward>
ComplexSignal GenericTransform(const ComplexSignal& x) {
  const std::size_t n = x.size();
  orvfft::StandardFFTSetup<orvfft::cpu::kFeatureLevelGeneric, orvfft::kDataTypeFloat, backward>
      plan(OneDimension(n, backward));
  std::vector<float> re(x.re.begin(), x.re.end()), im(x.im.begin(), x.im.end());
  plan.Transform(FFTInput{re.data(), im.data(), re.data(), im.data()});
  return {std::vector<long double>(re.begin(), re.end()),
          std::vector<long double>(im.begin(), im.end())};
}

TEST(MatrixFFTSetup, EveryLevelAgreesWithTheScalarPlanOnAnyPlacement) {
  if (VectorLevels().empty()) GTEST_SKIP() << "the matrix plans need a vector level";
  for (const auto level : VectorLevels()) {
    for (const std::size_t n : kMatrixLengths) {
      for (const bool backward : {false, true}) {
        const std::unique_ptr<MatrixFFTSetup> plan =
            MatrixFFTSetup::Create(OneDimension(n, backward), level);
        // 8 lanes need at least 8 × 8 points.
        if (n < 64 && level == orvfft::cpu::kFeatureLevelSimd8) {
          EXPECT_EQ(plan, nullptr);
          continue;
        }
        ASSERT_NE(plan, nullptr) << "N = " << n << ", level " << level;
        const ComplexSignal x = orvtest::RandomComplex(n, static_cast<std::uint32_t>(5 * n));
        const ComplexSignal expected =
            backward ? GenericTransform<true>(x) : GenericTransform<false>(x);
        // In place and out of place; aligned, off by one float, and the two
        // arrays on different offsets.
        for (const bool inPlace : {false, true}) {
          for (const std::size_t offset : {0u, 1u, 3u}) {
            SCOPED_TRACE("N = " + std::to_string(n) + ", level " + std::to_string(level) +
                         (backward ? ", backward" : ", forward") +
                         (inPlace ? ", in place" : ", out of place") + ", offset " +
                         std::to_string(offset));
            PlacedBuffer inRe(n, offset), inIm(n, (offset + 2) % 4);
            PlacedBuffer outRe(n, (offset + 1) % 4), outIm(n, offset);
            for (std::size_t i = 0; i < n; ++i) {
              inRe.data()[i] = static_cast<float>(x.re[i]);
              inIm.data()[i] = static_cast<float>(x.im[i]);
            }
            float* re = inPlace ? inRe.data() : outRe.data();
            float* im = inPlace ? inIm.data() : outIm.data();
            plan->Transform(FFTInput{re, im, inRe.data(), inIm.data()});
            EXPECT_LT(orvtest::RelativeRmsError(re, im, expected), kKernelAgreementTolerance);
            EXPECT_TRUE(inRe.GuardsIntact() && inIm.GuardsIntact());
            EXPECT_TRUE(outRe.GuardsIntact() && outIm.GuardsIntact());
          }
        }
      }
    }
  }
}

TEST(MatrixFFTSetup, PackedRealInputTransformsExactlyLikeItsSplitForm) {
  if (VectorLevels().empty()) GTEST_SKIP() << "the matrix plans need a vector level";
  for (const auto level : VectorLevels()) {
    for (const std::size_t n : {64u, 128u, 256u, 1024u}) {
      const std::unique_ptr<MatrixFFTSetup> plan =
          MatrixFFTSetup::Create(OneDimension(n, false), level);
      ASSERT_NE(plan, nullptr);
      const std::vector<float> samples = orvtest::Noise(2 * n, static_cast<std::uint32_t>(n));
      std::vector<float> even(n), odd(n), splitRe(n), splitIm(n);
      for (std::size_t i = 0; i < n; ++i) {
        even[i] = samples[2 * i];
        odd[i] = samples[2 * i + 1];
      }
      plan->Transform(FFTInput{splitRe.data(), splitIm.data(), even.data(), odd.data()});
      for (const std::size_t offset : {0u, 1u}) {
        SCOPED_TRACE("N = " + std::to_string(n) + ", level " + std::to_string(level) + ", offset " +
                     std::to_string(offset));
        PlacedBuffer in(2 * n, offset), re(n, offset), im(n, 0);
        std::copy(samples.begin(), samples.end(), in.data());
        ASSERT_TRUE(plan->TransformInterleaved(re.data(), im.data(), in.data()));
        // The same operations on the same values: only the loads differ.
        for (std::size_t k = 0; k < n; ++k) {
          ASSERT_EQ(re.data()[k], splitRe[k]) << k;
          ASSERT_EQ(im.data()[k], splitIm[k]) << k;
        }
        EXPECT_TRUE(re.GuardsIntact() && im.GuardsIntact() && in.GuardsIntact());
      }
    }
  }
  // Backward plans have no packed path.
  const auto backward = MatrixFFTSetup::Create(OneDimension(128, true), VectorLevels().back());
  std::vector<float> in(256), re(128), im(128);
  EXPECT_FALSE(backward->TransformInterleaved(re.data(), im.data(), in.data()));
}

TEST(MatrixFFTSetup, CreateFFTSetupUsesItOnlyAtAVectorLevel) {
  if (VectorLevels().empty()) GTEST_SKIP() << "the matrix plans need a vector level";
  const auto matrixPlanFor = [](orv::simd::Level limit, const FFTParam& param) {
    orvtest::ScopedLevelLimit scoped(limit);
    const std::unique_ptr<orvfft::FFTSetup> plan(orvfft::CreateFFTSetup(param));
    return dynamic_cast<MatrixFFTSetup*>(plan.get()) != nullptr;
  };
  EXPECT_TRUE(matrixPlanFor(orv::simd::Level::kSimd4, OneDimension(128, false)));
  EXPECT_FALSE(matrixPlanFor(orv::simd::Level::kScalar, OneDimension(128, false)));
  // Lengths, strides and overlapping batches it does not serve.
  EXPECT_FALSE(matrixPlanFor(orv::simd::Level::kSimd4, OneDimension(96, false)));
  EXPECT_FALSE(matrixPlanFor(orv::simd::Level::kSimd4, OneDimension(2048, false)));
  FFTParam strided = OneDimension(128, false);
  strided.stride = 2 * sizeof(float);
  EXPECT_FALSE(matrixPlanFor(orv::simd::Level::kSimd4, strided));
  FFTParam overlapping = OneDimension(128, false);
  overlapping.parallel = 2;
  overlapping.distance = 64 * sizeof(float);
  EXPECT_FALSE(matrixPlanFor(orv::simd::Level::kSimd4, overlapping));
}

}  // namespace
