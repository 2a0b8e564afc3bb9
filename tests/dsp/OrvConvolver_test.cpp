#include "dsp/OrvConvolver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ORVFFT/FFTReference.h"
#include "common/OrvTestUtil.h"
#include "dsp/OrvConvolver_RealFFT.h"
#include "dsp/OrvInternals_AlignedArray.h"

namespace {

using orv::AlignedArray;
using orv::DualMiniConvolver;
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

// ---------------------------------------------------------------------------
// DualMiniConvolver

// y = h * x, the exact linear convolution in double.
std::vector<double> NaiveConvolution(const std::vector<float>& x, const std::vector<float>& h) {
  std::vector<double> y(x.size() + h.size() - 1, 0.0);
  for (std::size_t i = 0; i < x.size(); ++i) {
    for (std::size_t j = 0; j < h.size(); ++j) y[i + j] += static_cast<double>(x[i]) * h[j];
  }
  return y;
}

// Feeds x through ApplyAdditive in runs whose lengths cycle through `runs`
// and returns the interleaved output.
template <bool swap>
std::vector<float> Feed(DualMiniConvolver& convolver, const std::vector<float>& x,
                        const std::vector<unsigned>& runs) {
  std::vector<float> out(2 * x.size(), 0.0f);
  std::size_t at = 0;
  for (std::size_t r = 0; at < x.size(); ++r) {
    const unsigned run =
        std::min<unsigned>(runs[r % runs.size()], static_cast<unsigned>(x.size() - at));
    convolver.ApplyAdditive<swap, false>(run, x.data() + at, out.data() + 2 * at);
    at += run;
  }
  return out;
}

// Output = one half of the convolution, N samples late. Float FFT
// convolution errors are relative to the signal's scale, not per sample.
void ExpectHalfConvolutionDelayedByN(const std::vector<float>& out, const std::vector<float>& x,
                                     const std::vector<float>& left,
                                     const std::vector<float>& right, int n, bool swapped) {
  constexpr double kConvolutionTolerance = 2e-5;  // relative RMS
  const auto yLeft = NaiveConvolution(x, left), yRight = NaiveConvolution(x, right);
  std::vector<float> gotLeft, gotRight, wantLeft, wantRight;
  for (std::size_t t = 0; t < x.size(); ++t) {
    const float even = out[2 * t], odd = out[2 * t + 1];
    gotLeft.push_back(swapped ? odd : even);
    gotRight.push_back(swapped ? even : odd);
    const bool early = t < static_cast<std::size_t>(n);
    wantLeft.push_back(early ? 0.0f : static_cast<float>(yLeft[t - n] / 2));
    wantRight.push_back(early ? 0.0f : static_cast<float>(yRight[t - n] / 2));
  }
  // The first block is exactly silent: nothing has been transformed yet.
  for (int t = 0; t < n; ++t) {
    ASSERT_EQ(gotLeft[t], 0.0f) << t;
    ASSERT_EQ(gotRight[t], 0.0f) << t;
  }
  EXPECT_LT(orvtest::RelativeRmsError(gotLeft.data(), wantLeft.data(), x.size()),
            kConvolutionTolerance);
  EXPECT_LT(orvtest::RelativeRmsError(gotRight.data(), wantRight.data(), x.size()),
            kConvolutionTolerance);
}

TEST(DualMiniConvolver, EqualsHalfTheLinearConvolutionDelayedByN) {
  const std::vector<unsigned> irregular = {1, 3, 17, 64, 2, 129, 5, 300, 7};
  for (const int n : {4, 16, 128, 512}) {
    SCOPED_TRACE("N = " + std::to_string(n));
    const auto left = orvtest::Noise(n, 100u), right = orvtest::Noise(n, 101u);
    const auto x = orvtest::Noise(9 * n + 13, 102u);
    DualMiniConvolver convolver(left.data(), right.data(), n);
    const auto out = Feed<false>(convolver, x, irregular);
    ExpectHalfConvolutionDelayedByN(out, x, left, right, n, false);
    DualMiniConvolver swapped(left.data(), right.data(), n);
    const auto outSwapped = Feed<true>(swapped, x, irregular);
    ExpectHalfConvolutionDelayedByN(outSwapped, x, left, right, n, true);
  }
}

TEST(DualMiniConvolver, ImpulseAtBlockStartYieldsHalfTheResponseNextBlock) {
  constexpr int kN = 32;
  const auto left = orvtest::Noise(kN, 1u), right = orvtest::Noise(kN, 2u);
  DualMiniConvolver convolver(left.data(), right.data(), kN);
  const auto x = orvtest::Impulse(2 * kN);
  const auto out = Feed<false>(convolver, x, {2 * kN});
  // One forward and one backward float FFT of 64 points on an impulse.
  constexpr float kImpulseTolerance = 1e-6f;
  for (int j = 0; j < kN; ++j) {
    EXPECT_NEAR(out[2 * (kN + j)], left[j] / 2, kImpulseTolerance) << j;
    EXPECT_NEAR(out[2 * (kN + j) + 1], right[j] / 2, kImpulseTolerance) << j;
  }
}

TEST(DualMiniConvolver, RunLengthsDoNotChangeTheOutput) {
  constexpr int kN = 64;
  const auto left = orvtest::Noise(kN, 3u), right = orvtest::Noise(kN, 4u);
  const auto x = orvtest::Noise(11 * kN + 5, 5u);
  DualMiniConvolver oneCall(left.data(), right.data(), kN), pieces(left.data(), right.data(), kN);
  const auto whole = Feed<false>(oneCall, x, {static_cast<unsigned>(x.size())});
  const auto split = Feed<false>(pieces, x, {1, 63, 2, 65, 127, 3, 0, 200});
  EXPECT_EQ(whole, split);
}

TEST(DualMiniConvolver, AddsIntoTheOutputAndCountZeroChangesNothing) {
  constexpr int kN = 16;
  const auto left = orvtest::Noise(kN, 6u), right = orvtest::Noise(kN, 7u);
  const auto x = orvtest::Noise(4 * kN, 8u);
  DualMiniConvolver a(left.data(), right.data(), kN), b(left.data(), right.data(), kN);
  std::vector<float> outA(2 * x.size(), 0.0f), outB(2 * x.size(), 0.25f);
  float untouched[2] = {3.0f, 4.0f};
  b.ApplyAdditive<false, false>(0, x.data(), untouched);
  b.ApplyAdditive<true, true>(0, nullptr, untouched);
  EXPECT_EQ(untouched[0], 3.0f);
  EXPECT_EQ(untouched[1], 4.0f);
  a.ApplyAdditive<false, false>(static_cast<unsigned>(x.size()), x.data(), outA.data());
  b.ApplyAdditive<false, false>(static_cast<unsigned>(x.size()), x.data(), outB.data());
  for (std::size_t i = 0; i < outA.size(); ++i) ASSERT_FLOAT_EQ(outB[i], outA[i] + 0.25f) << i;
}

TEST(DualMiniConvolver, SilentInstancesActLikeZeroInput) {
  constexpr int kN = 32;
  const auto left = orvtest::Noise(kN, 9u), right = orvtest::Noise(kN, 10u);
  const auto x = orvtest::Noise(3 * kN + 7, 11u);
  for (const bool swap : {false, true}) {
    DualMiniConvolver fed(left.data(), right.data(), kN), silent(left.data(), right.data(), kN);
    const unsigned head = static_cast<unsigned>(x.size()), rest = kN + 13;
    std::vector<float> outFed(2 * (head + rest), 0.0f), outSilent(outFed.size(), 0.0f);
    const std::vector<float> zeros(rest, 0.0f);
    if (swap) {
      fed.ApplyAdditive<true, false>(head, x.data(), outFed.data());
      silent.ApplyAdditive<true, false>(head, x.data(), outSilent.data());
      fed.ApplyAdditive<true, false>(rest, zeros.data(), outFed.data() + 2 * head);
      silent.ApplyAdditive<true, true>(rest, nullptr, outSilent.data() + 2 * head);
    } else {
      fed.ApplyAdditive<false, false>(head, x.data(), outFed.data());
      silent.ApplyAdditive<false, false>(head, x.data(), outSilent.data());
      fed.ApplyAdditive<false, false>(rest, zeros.data(), outFed.data() + 2 * head);
      silent.ApplyAdditive<false, true>(rest, nullptr, outSilent.data() + 2 * head);
    }
    EXPECT_EQ(outFed, outSilent);
    EXPECT_EQ(fed.HasOutput(), silent.HasOutput());
  }
}

TEST(DualMiniConvolver, InsignificantInputKeepsItIdle) {
  constexpr int kN = 16;
  const auto left = orvtest::Noise(kN, 12u), right = orvtest::Noise(kN, 13u);
  DualMiniConvolver convolver(left.data(), right.data(), kN);
  std::vector<float> tiny(5 * kN);
  for (std::size_t i = 0; i < tiny.size(); ++i) tiny[i] = (i % 2 ? 1e-10f : -1e-10f);
  tiny[7] = std::numeric_limits<float>::quiet_NaN();  // not significant either
  std::vector<float> out(2 * tiny.size(), 0.0f);
  convolver.ApplyAdditive<false, false>(static_cast<unsigned>(tiny.size()), tiny.data(),
                                        out.data());
  EXPECT_FALSE(convolver.HasOutput());
  for (const float v : out) ASSERT_EQ(v, 0.0f);

  // Just above the threshold wakes it at once, before the block is full.
  const float audible = 2e-10f;
  convolver.ApplyAdditive<false, false>(1, &audible, out.data());
  EXPECT_TRUE(convolver.HasOutput());
}

TEST(DualMiniConvolver, TailDiesOutTwoSilentBlocksAfterTheLastInput) {
  constexpr int kN = 32;
  const auto left = orvtest::Noise(kN, 14u), right = orvtest::Noise(kN, 15u);
  DualMiniConvolver convolver(left.data(), right.data(), kN);
  std::vector<float> out(2 * kN, 0.0f);
  const auto x = orvtest::Noise(kN, 16u);
  convolver.ApplyAdditive<false, false>(kN, x.data(), out.data());
  EXPECT_TRUE(convolver.HasOutput()) << "after the step that found input";
  std::fill(out.begin(), out.end(), 0.0f);
  convolver.ApplyAdditive<false, true>(kN, nullptr, out.data());
  // This block played the convolution of the input; its overlap moved on.
  EXPECT_GT(orvtest::Energy(out.data(), out.size()), 0.0);
  EXPECT_TRUE(convolver.HasOutput()) << "the overlap of a random response is not all zero";
  std::fill(out.begin(), out.end(), 0.0f);
  convolver.ApplyAdditive<false, true>(kN, nullptr, out.data());
  EXPECT_GT(orvtest::Energy(out.data(), out.size()), 0.0) << "the overlap plays here";
  EXPECT_FALSE(convolver.HasOutput()) << "the overlap that moved was all zero";
  std::fill(out.begin(), out.end(), 1.0f);
  convolver.ApplyAdditive<false, true>(kN, nullptr, out.data());
  for (const float v : out) ASSERT_EQ(v, 1.0f);
  EXPECT_FALSE(convolver.HasOutput());
}

TEST(DualMiniConvolver, OverlapOnEitherEarOrNaNKeepsItAwake) {
  constexpr int kN = 16;
  const std::vector<float> silentEar(kN, 0.0f);
  const auto response = orvtest::Noise(kN, 21u);
  const auto x = orvtest::Noise(kN, 22u);
  std::vector<float> out(2 * kN, 0.0f);
  // Only one ear has a response, so only its overlap is non-zero.
  for (const bool rightOnly : {false, true}) {
    DualMiniConvolver convolver(rightOnly ? silentEar.data() : response.data(),
                                rightOnly ? response.data() : silentEar.data(), kN);
    convolver.ApplyAdditive<false, false>(kN, x.data(), out.data());
    convolver.ApplyAdditive<false, true>(kN, nullptr, out.data());
    EXPECT_TRUE(convolver.HasOutput()) << (rightOnly ? "right" : "left") << " overlap only";
  }
  // A NaN that arrives with audible input spreads through the block; the
  // overlap it leaves must still be moved out, not skipped.
  DualMiniConvolver convolver(response.data(), response.data(), kN);
  std::vector<float> poisoned(x);
  poisoned[3] = std::numeric_limits<float>::quiet_NaN();
  convolver.ApplyAdditive<false, false>(kN, poisoned.data(), out.data());
  convolver.ApplyAdditive<false, true>(kN, nullptr, out.data());
  EXPECT_TRUE(convolver.HasOutput());
  std::fill(out.begin(), out.end(), 0.0f);
  convolver.ApplyAdditive<false, true>(kN, nullptr, out.data());
  EXPECT_TRUE(std::isnan(out[0]));
  EXPECT_FALSE(convolver.HasOutput());
}

TEST(DualMiniConvolver, CopiesContinueExactlyLikeTheOriginal) {
  constexpr int kN = 64;
  const auto left = orvtest::Noise(kN, 17u), right = orvtest::Noise(kN, 18u);
  DualMiniConvolver original(left.data(), right.data(), kN);
  DualMiniConvolver fresh(original);
  const auto x = orvtest::Noise(3 * kN + 10, 19u);
  const auto outOriginal = Feed<false>(original, x, {50});
  const auto outFresh = Feed<false>(fresh, x, {50});
  EXPECT_EQ(outOriginal, outFresh);
  // A copy taken mid-block carries the pending input and the overlap.
  DualMiniConvolver midway(original);
  const auto y = orvtest::Noise(2 * kN, 20u);
  EXPECT_EQ(Feed<false>(original, y, {33}), Feed<false>(midway, y, {33}));
  EXPECT_EQ(original.HasOutput(), midway.HasOutput());
}

using DualMiniConvolverDeathTest = ::testing::Test;

TEST_F(DualMiniConvolverDeathTest, AssertsItsPreconditions) {
  orvtest::UseThreadsafeDeathTests();
  const std::vector<float> h(12, 0.0f);
  EXPECT_DEATH(DualMiniConvolver c(h.data(), h.data(), 12), "IsPowerOfTwo\\(size\\)");
  DualMiniConvolver convolver(h.data(), h.data(), 8);
  float out[2] = {};
  EXPECT_DEATH((convolver.ApplyAdditive<false, false>(1, nullptr, out)),
               "Assertion failed: \\(inData\\), function ApplyAdditive, file OrvInternals");
}

}  // namespace
