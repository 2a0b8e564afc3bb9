#include "ORVFFT/Kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "ORVFFT/StandardFFTSetup.h"
#include "ORVFFT/Twiddles.h"
#include "common/OrvTestUtil.h"

namespace {

using orvfft::FFTInput;
using orvfft::FFTParam;
using orvfft::StandardFFTSetup;
using orvfft::kernel::KernelData;
using orvfft::kernel::KernelParam;

// Exact small transforms: the only error is float rounding of ±1 and √3/2.
constexpr float kSmallTransformTolerance = 1e-6f;

FFTParam OneDimension(std::size_t n, bool backward) {
  FFTParam param;
  param.size = {n};
  param.backward = backward;
  return param;
}

// Runs a small transform with both the generic and the vector plan.
template <bool backward>
void ExpectBothKernels(const std::vector<std::complex<float>>& in,
                       const std::vector<std::complex<float>>& expected) {
  const std::size_t n = in.size();
  StandardFFTSetup<orvfft::cpu::kFeatureLevelGeneric, orvfft::kDataTypeFloat, backward> generic(
      OneDimension(n, backward));
  StandardFFTSetup<orvfft::cpu::kFeatureLevelSimd4, orvfft::kDataTypeFloat, backward> vector(
      OneDimension(n, backward));
  for (orvfft::FFTSetup* plan :
       {static_cast<orvfft::FFTSetup*>(&generic), static_cast<orvfft::FFTSetup*>(&vector)}) {
    std::vector<float> re(n), im(n);
    for (std::size_t i = 0; i < n; ++i) {
      re[i] = in[i].real();
      im[i] = in[i].imag();
    }
    plan->Transform(FFTInput{re.data(), im.data(), re.data(), im.data()});
    for (std::size_t k = 0; k < n; ++k) {
      EXPECT_NEAR(re[k], expected[k].real(), kSmallTransformTolerance) << "k = " << k;
      EXPECT_NEAR(im[k], expected[k].imag(), kSmallTransformTolerance) << "k = " << k;
    }
  }
}

TEST(Kernel, LengthTwoIsSumAndDifference) {
  ExpectBothKernels<false>({{3.0f, 1.0f}, {1.0f, -2.0f}}, {{4.0f, -1.0f}, {2.0f, 3.0f}});
  ExpectBothKernels<true>({{3.0f, 1.0f}, {1.0f, -2.0f}}, {{4.0f, -1.0f}, {2.0f, 3.0f}});
}

TEST(Kernel, LengthFourForwardFindsTheRotatingPhasor) {
  // e^(2πi·n/4) = (1, i, -1, -i) puts all its energy in bin 1 forward...
  ExpectBothKernels<false>({{1, 0}, {0, 1}, {-1, 0}, {0, -1}}, {{0, 0}, {4, 0}, {0, 0}, {0, 0}});
  // ...and in bin 3 backward, where the kernel turns the other way.
  ExpectBothKernels<true>({{1, 0}, {0, 1}, {-1, 0}, {0, -1}}, {{0, 0}, {0, 0}, {0, 0}, {4, 0}});
}

TEST(Kernel, LengthThreeButterflyHasTheRightSense) {
  ExpectBothKernels<true>({{1, 0}, {0, 0}, {0, 0}}, {{1, 0}, {1, 0}, {1, 0}});
  // x = (0, 1, 0): forward X_k = e^(-2πi·k/3), backward e^(+2πi·k/3).
  const float h = 0.8660254f;
  ExpectBothKernels<false>({{0, 0}, {1, 0}, {0, 0}}, {{1, 0}, {-0.5f, -h}, {-0.5f, h}});
  ExpectBothKernels<true>({{0, 0}, {1, 0}, {0, 0}}, {{1, 0}, {-0.5f, h}, {-0.5f, -h}});
}

TEST(Kernel, LengthEightRunsARadixFourThenARadixTwoPass) {
  StandardFFTSetup<orvfft::cpu::kFeatureLevelSimd4, orvfft::kDataTypeFloat, false> plan(
      OneDimension(8, false));
  ASSERT_EQ(plan.PassCount(), 2u);
  EXPECT_EQ(plan.PassParam(0).radix, 4u);
  EXPECT_EQ(plan.PassParam(0).innerCount, 1u);
  EXPECT_EQ(plan.PassParam(0).groupCount, 2u);
  EXPECT_EQ(plan.PassParam(1).radix, 2u);
  EXPECT_EQ(plan.PassParam(1).innerCount, 4u);
  EXPECT_EQ(plan.PassParam(1).groupCount, 1u);
  // x_n = n: X_0 = 28, X_k = -4 + 4i·cot(πk/8) for k > 0.
  std::vector<std::complex<float>> in(8), expected(8);
  for (int i = 0; i < 8; ++i) in[i] = {static_cast<float>(i), 0.0f};
  expected[0] = {28.0f, 0.0f};
  for (int k = 1; k < 8; ++k) {
    expected[k] = {-4.0f, static_cast<float>(4.0 / std::tan(M_PI * k / 8.0))};
  }
  ExpectBothKernels<false>(in, expected);
}

// The plan chains its vector passes from array to array; run one by one as
// in-place passes (each copying back), they must give the same transform.
template <bool backward>
void CheckPassByPass(std::size_t n, std::size_t offset) {
  StandardFFTSetup<orvfft::cpu::kFeatureLevelSimd4, orvfft::kDataTypeFloat, backward> plan(
      OneDimension(n, backward));
  std::vector<float> re(n + 4), im(n + 4);
  for (std::size_t i = 0; i < n; ++i) {
    re[offset + i] = std::sin(0.37f * static_cast<float>(i)) + 0.1f;
    im[offset + i] = std::cos(1.3f * static_cast<float>(i * i % 17));
  }
  std::vector<float> planRe(re), planIm(im);
  plan.Transform(FFTInput{planRe.data() + offset, planIm.data() + offset, planRe.data() + offset,
                          planIm.data() + offset});
  alignas(16) static float workRe[4096], workIm[4096];
  const KernelData<float> data{re.data() + offset, im.data() + offset, workRe, workIm};
  for (std::size_t i = 0; i < plan.PassCount(); ++i) {
    orvfft::kernel::Simd<orvfft::kDataTypeFloat, backward, orvfft::cpu::kFeatureLevelSimd4>(
        plan.PassParam(i), data);
  }
  for (std::size_t i = 0; i < n; ++i) {
    // Identical operations either way: the results must match exactly.
    ASSERT_EQ(re[offset + i], planRe[offset + i]) << "N = " << n << ", element " << i;
    ASSERT_EQ(im[offset + i], planIm[offset + i]) << "N = " << n << ", element " << i;
  }
}

TEST(Kernel, VectorPassesOneByOneEqualTheChainedPlan) {
  for (const std::size_t n : {2u, 3u, 8u, 12u, 32u, 96u, 128u, 729u, 1024u, 3072u}) {
    for (const std::size_t offset : {0u, 1u}) {
      CheckPassByPass<false>(n, offset);
      CheckPassByPass<true>(n, offset);
    }
  }
}

// Kernel parameters for one pass of a table, as a plan would fill them.
KernelParam PassOf(const orvfft::Twiddles& table, std::uint32_t radix, std::size_t n,
                   std::size_t stride) {
  KernelParam param;
  param.twiddles = &table;
  param.radix = radix;
  param.stride = stride;
  param.innerCount = 1;
  param.size = n;
  param.groupCount = n / radix;
  param.twiddleOffset = 0;
  param.butterflyCount = n / radix;
  return param;
}

using KernelDeathTest = ::testing::Test;

TEST_F(KernelDeathTest, VectorKernelRejectsStridedData) {
  orvtest::UseThreadsafeDeathTests();
  const orvfft::Twiddles table(8);
  alignas(16) float re[16] = {}, im[16] = {}, workRe[16] = {}, workIm[16] = {};
  const KernelData<float> data{re, im, workRe, workIm};
  EXPECT_DEATH(
      (orvfft::kernel::Simd<orvfft::kDataTypeFloat, false, orvfft::cpu::kFeatureLevelSimd4>(
          PassOf(table, 4, 8, 8), data)),
      "Assertion failed: \\(false\\), function Simd, file ORVFFT/Kernel_SimdX86");
}

TEST_F(KernelDeathTest, KernelsRejectAnUnknownRadix) {
  orvtest::UseThreadsafeDeathTests();
  const orvfft::Twiddles table(8);
  alignas(16) float re[16] = {}, im[16] = {}, workRe[16] = {}, workIm[16] = {};
  const KernelData<float> data{re, im, workRe, workIm};
  EXPECT_DEATH((orvfft::kernel::Generic<float, false>(PassOf(table, 5, 5, 4), data)),
               "Assertion failed: \\(false\\), function _GenericInner, file ORVFFT/Kernel_Generic");
#if defined(__SSE__)
  EXPECT_DEATH((orvfft::kernel::Simd<orvfft::kDataTypeFloat, true, orvfft::cpu::kFeatureLevelSimd4>(
                   PassOf(table, 5, 5, 4), data)),
               "Assertion failed: \\(false\\), function Process, file ORVFFT/Kernel_SimdX86");
#endif
}

TEST(Kernel, GenericKernelHandlesDoublesAtAStride) {
  // Length 6 (radix 2 then 3) on every third double.
  constexpr std::size_t kN = 6, kStep = 3;
  FFTParam param = OneDimension(kN, false);
  param.dataType = orvfft::kDataTypeDouble;
  param.stride = kStep * sizeof(double);
  param.distance = param.stride;
  StandardFFTSetup<orvfft::cpu::kFeatureLevelGeneric, orvfft::kDataTypeDouble, false> plan(param);
  std::vector<double> re(kN * kStep, 0.5), im(kN * kStep, 0.5);
  for (std::size_t i = 0; i < kN; ++i) {
    re[i * kStep] = (i == 1) ? 1.0 : 0.0;
    im[i * kStep] = 0.0;
  }
  plan.Transform(FFTInput{re.data(), im.data(), re.data(), im.data()});
  for (std::size_t k = 0; k < kN; ++k) {
    // A unit impulse at n = 1 gives e^(-2πi·k/6).
    EXPECT_NEAR(re[k * kStep], std::cos(2.0 * M_PI * k / kN), 1e-15);
    EXPECT_NEAR(im[k * kStep], -std::sin(2.0 * M_PI * k / kN), 1e-15);
    EXPECT_EQ(re[k * kStep + 1], 0.5);
    EXPECT_EQ(im[k * kStep + 2], 0.5);
  }
}

}  // namespace
