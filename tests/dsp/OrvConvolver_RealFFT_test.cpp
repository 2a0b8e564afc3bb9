#include "dsp/OrvConvolver_RealFFT.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ORVFFT/FFTReference.h"
#include "common/OrvTestUtil.h"
#include "dsp/OrvInternals_AlignedArray.h"

namespace {

using orv::AlignedArray;
using orv::RealFFT;

// The complex FFT's float error bound (relative RMS, N ≤ 4096) plus the
// untangling pass, whose factors come from up to N/8 chained float
// multiplications (~N/8 · eps ≈ 3e-5 worst case at N = 2048 before the
// error's random signs cancel most of it).
constexpr double kRealFftTolerance = 2e-5;

AlignedArray<float> Aligned(const std::vector<float>& v) {
  AlignedArray<float> a(v.size());
  std::copy(v.begin(), v.end(), a.Data());
  return a;
}

// Half of the unnormalised 2N-point DFT of x, bins 0..N, by the direct sum.
orvtest::ComplexSignal HalfSpectrum(const std::vector<float>& x) {
  orvtest::ComplexSignal in{std::vector<long double>(x.begin(), x.end()),
                            std::vector<long double>(x.size(), 0.0L)};
  orvtest::ComplexSignal full = orvtest::DirectDft(in, false);
  const std::size_t bins = x.size() / 2 + 1;
  orvtest::ComplexSignal half{std::vector<long double>(bins), std::vector<long double>(bins)};
  for (std::size_t k = 0; k < bins; ++k) {
    half.re[k] = full.re[k] / 2;
    half.im[k] = full.im[k] / 2;
  }
  return half;
}

TEST(RealFFT, EightSampleImpulseAndConstant) {
  RealFFT fft(4);
  AlignedArray<float> re(5), im(5);
  const auto impulse = Aligned(orvtest::Impulse(8));
  fft.ForwardTransform(re.Data(), im.Data(), impulse.Data());
  for (int k = 0; k <= 4; ++k) {
    EXPECT_NEAR(re[k], 0.5f, 1e-7f) << k;
    EXPECT_NEAR(im[k], 0.0f, 1e-7f) << k;
  }
  const auto ones = Aligned(std::vector<float>(8, 1.0f));
  fft.ForwardTransform(re.Data(), im.Data(), ones.Data());
  EXPECT_NEAR(re[0], 4.0f, 1e-6f);
  for (int k = 1; k <= 4; ++k) {
    EXPECT_NEAR(re[k], 0.0f, 1e-6f) << k;
    EXPECT_NEAR(im[k], 0.0f, 1e-6f) << k;
  }
}

TEST(RealFFT, ForwardGivesHalfTheDirectDft) {
  for (const int n : {4, 8, 16, 32, 128, 512, 2048}) {
    SCOPED_TRACE("N = " + std::to_string(n));
    const std::vector<float> x = orvtest::Noise(2 * n, static_cast<std::uint32_t>(n));
    const auto in = Aligned(x);
    RealFFT fft(n);
    AlignedArray<float> re(n + 1), im(n + 1);
    fft.ForwardTransform(re.Data(), im.Data(), in.Data());
    const auto reference = HalfSpectrum(x);
    EXPECT_LT(orvtest::RelativeRmsError(re.Data(), im.Data(), reference), kRealFftTolerance);
    EXPECT_EQ(im[0], 0.0f);
    EXPECT_EQ(im[n], 0.0f);
  }
}

TEST(RealFFT, BackwardIsTheUnnormalisedInverseOfAHermitianSpectrum) {
  for (const int n : {4, 16, 128, 1024}) {
    SCOPED_TRACE("N = " + std::to_string(n));
    const std::vector<float> binsRe = orvtest::Noise(n + 1, 50u),
                             binsIm = orvtest::Noise(n + 1, 51u);
    // out[m] = Σ_k X[k]·e^(+2πi·mk/2N) over X and its Hermitian extension,
    // with the imaginary parts of bins 0 and N taken as zero.
    orvtest::ComplexSignal full{std::vector<long double>(2 * n), std::vector<long double>(2 * n)};
    for (int k = 0; k <= n; ++k) {
      full.re[k] = binsRe[k];
      full.im[k] = (k == 0 || k == n) ? 0.0L : binsIm[k];
    }
    for (int k = 1; k < n; ++k) {
      full.re[2 * n - k] = full.re[k];
      full.im[2 * n - k] = -full.im[k];
    }
    const auto reference = orvtest::DirectDft(full, true);
    const auto inRe = Aligned(binsRe), inIm = Aligned(binsIm);
    AlignedArray<float> out(2 * n);
    RealFFT fft(n);
    fft.BackwardTransform(out.Data(), inRe.Data(), inIm.Data());
    std::vector<float> zeros(2 * n, 0.0f);
    EXPECT_LT(orvtest::RelativeRmsError(out.Data(), zeros.data(), reference), kRealFftTolerance);
  }
}

TEST(RealFFT, RoundTripScalesByN) {
  for (const int n : {4, 8, 128, 4096}) {
    const std::vector<float> x = orvtest::Noise(2 * n, 7u);
    const auto in = Aligned(x);
    RealFFT fft(n);
    AlignedArray<float> re(n + 1), im(n + 1), out(2 * n);
    fft.ForwardTransform(re.Data(), im.Data(), in.Data());
    fft.BackwardTransform(out.Data(), re.Data(), im.Data());
    std::vector<float> expected(x);
    for (float& v : expected) v *= static_cast<float>(n);
    EXPECT_LT(orvtest::RelativeRmsError(out.Data(), expected.data(), expected.size()),
              kRealFftTolerance)
        << "N = " << n;
  }
}

TEST(RealFFT, CosineOfPeriodTwoNOverThreeLandsInBinThree) {
  constexpr int kN = 64;
  std::vector<float> x(2 * kN);
  for (int i = 0; i < 2 * kN; ++i)
    x[i] = static_cast<float>(std::cos(2.0 * M_PI * 3.0 * i / (2 * kN)));
  const auto in = Aligned(x);
  RealFFT fft(kN);
  AlignedArray<float> re(kN + 1), im(kN + 1);
  fft.ForwardTransform(re.Data(), im.Data(), in.Data());
  // The unnormalised DFT is N at bin 3; the forward transform halves it.
  constexpr float kLeak = 1e-4f;
  for (int k = 0; k <= kN; ++k) {
    EXPECT_NEAR(re[k], k == 3 ? kN / 2.0f : 0.0f, kLeak) << k;
    EXPECT_NEAR(im[k], 0.0f, kLeak) << k;
  }
}

TEST(RealFFT, CopyTransformsExactlyLikeTheOriginal) {
  constexpr int kN = 256;
  RealFFT original(kN);
  const RealFFT copy(original);
  RealFFT copyOfCopy(copy);
  const auto in = Aligned(orvtest::Noise(2 * kN, 9u));
  AlignedArray<float> re1(kN + 1), im1(kN + 1), re2(kN + 1), im2(kN + 1), out1(2 * kN),
      out2(2 * kN);
  original.ForwardTransform(re1.Data(), im1.Data(), in.Data());
  copyOfCopy.ForwardTransform(re2.Data(), im2.Data(), in.Data());
  EXPECT_TRUE(std::equal(re1.begin(), re1.end(), re2.begin()));
  EXPECT_TRUE(std::equal(im1.begin(), im1.end(), im2.begin()));
  original.BackwardTransform(out1.Data(), re1.Data(), im1.Data());
  copyOfCopy.BackwardTransform(out2.Data(), re1.Data(), im1.Data());
  EXPECT_TRUE(std::equal(out1.begin(), out1.end(), out2.begin()));
}

TEST(RealFFT, ZeroSizeIsRejectedByTheFftLibrary) {
  try {
    RealFFT fft(0);
    ADD_FAILURE() << "no exception";
  } catch (const orvfft::Exception& e) {
    EXPECT_STREQ(e.what(), "Zero size.");
  }
  EXPECT_THROW(std::unique_ptr<orvfft::FFTSetup>(orv::CreateFFT(0, true)), orvfft::Exception);
  // Any length the library supports is fine for the complex factory.
  EXPECT_NE(std::unique_ptr<orvfft::FFTSetup>(orv::CreateFFT(12, false)), nullptr);
}

using RealFFTDeathTest = ::testing::Test;

TEST_F(RealFFTDeathTest, SizeMustBeAPowerOfTwo) {
  orvtest::UseThreadsafeDeathTests();
  EXPECT_DEATH(
      RealFFT fft(6),
      "Assertion failed: \\(IsPowerOfTwo\\(size\\)\\), function RealFFT, file OrvConvolver");
}

}  // namespace
