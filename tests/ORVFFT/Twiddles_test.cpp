#include "ORVFFT/Twiddles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "ORVFFT/FFTReference.h"
#include "ORVFFT/OrvFFT.h"

namespace {

using orvfft::Twiddles;
using CacheState = orvfft::Twiddles::CacheState;

// Angles are summed step by step in double, so factor m carries up to m
// rounding errors of the angle: ~1e-13 for m ≤ 1024.
constexpr double kDoubleFactorTolerance = 1e-12;
// The float copy is the double factor rounded once: half an ulp of 1.
constexpr double kFloatRoundingTolerance = 6e-8;

TEST(Twiddles, LengthEightHasTwoPassesAndSevenFactors) {
  const Twiddles table(8);
  EXPECT_EQ(table.LevelOffsets(), (std::vector<std::size_t>{0, 6}));
  ASSERT_EQ(table.DoubleFactors().size(), 7u);
  ASSERT_EQ(table.FloatFactors().size(), 7u);
  // Pass 1 (radix 2 after radix 4) stores only the unused factor e^(iπ).
  EXPECT_NEAR(table.DoubleFactors()[6].real(), -1.0, kDoubleFactorTolerance);
  EXPECT_NEAR(table.DoubleFactors()[6].imag(), 0.0, kDoubleFactorTolerance);
}

TEST(Twiddles, LengthOneHasNoFactors) {
  const Twiddles table(1);
  EXPECT_TRUE(table.LevelOffsets().empty());
  EXPECT_TRUE(table.DoubleFactors().empty());
}

// Entry levelOffsets[L] + (k - 1)·(N / P_L) + (m - 1) is e^(+2πi·k·m·P_(L-1) / N).
TEST(Twiddles, EveryFactorSitsWhereThePassesReadIt) {
  for (const std::size_t n : orvtest::SupportedLengths(4096)) {
    if (n < 2) continue;
    const Twiddles table(static_cast<unsigned>(n));
    ASSERT_EQ(table.DoubleFactors().size(), n - 1);
    std::size_t remaining = n, before = 1, pass = 0;
    while (remaining >= 2) {
      const std::size_t radix = orvfft::NextRadix(static_cast<unsigned>(remaining));
      ASSERT_NE(radix, 0u);
      const std::size_t after = before * radix;
      const std::size_t offset = table.LevelOffsets().at(pass);
      for (std::size_t k = 1; k < radix; ++k) {
        for (std::size_t m = 1; m <= n / after; ++m) {
          const std::size_t index = offset + (k - 1) * (n / after) + (m - 1);
          const long double angle = 2.0L * M_PIl * static_cast<long double>((k * m * before) % n) /
                                    static_cast<long double>(n);
          const std::complex<double> d = table.DoubleFactors()[index];
          const std::complex<float> f = table.FloatFactors()[index];
          ASSERT_NEAR(d.real(), static_cast<double>(std::cos(angle)), kDoubleFactorTolerance)
              << "N = " << n << ", pass " << pass << ", k = " << k << ", m = " << m;
          ASSERT_NEAR(d.imag(), static_cast<double>(std::sin(angle)), kDoubleFactorTolerance);
          ASSERT_NEAR(f.real(), d.real(), kFloatRoundingTolerance);
          ASSERT_NEAR(f.imag(), d.imag(), kFloatRoundingTolerance);
        }
      }
      before = after;
      remaining /= radix;
      ++pass;
    }
    EXPECT_EQ(pass, table.LevelOffsets().size());
  }
}

TEST(Twiddles, LengthsWithOtherPrimeFactorsFailAndLeaveNoEntry) {
  for (const unsigned n : {5u, 7u, 10u, 14u, 22u, 4096u * 7u}) {
    try {
      const auto table = Twiddles::GetInstance(n);
      ADD_FAILURE() << "no exception for " << n;
    } catch (const orvfft::Exception& e) {
      EXPECT_STREQ(e.what(), "Failed to create FFT plan. Radix not found.");
    }
    EXPECT_EQ(Twiddles::GetCacheState(n), CacheState::kAbsent) << n;
  }
}

TEST(Twiddles, PlansOfOneLengthShareOneTableUntilTheLastIsGone) {
  // A length no other test in this program uses.
  constexpr unsigned kLength = 6144;
  EXPECT_EQ(Twiddles::GetCacheState(kLength), CacheState::kAbsent);
  auto first = Twiddles::GetInstance(kLength);
  auto second = Twiddles::GetInstance(kLength);
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(Twiddles::GetCacheState(kLength), CacheState::kLive);
  first.reset();
  EXPECT_EQ(Twiddles::GetCacheState(kLength), CacheState::kLive);
  second.reset();
  EXPECT_EQ(Twiddles::GetCacheState(kLength), CacheState::kExpired);
  // The expired entry is replaced by a fresh table.
  auto third = Twiddles::GetInstance(kLength);
  EXPECT_EQ(Twiddles::GetCacheState(kLength), CacheState::kLive);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->DoubleFactors().size(), kLength - 1);
}

TEST(Twiddles, PlansShareTablesAcrossDataTypesAndDirections) {
  orvfft::FFTParam param;
  param.size = {768};
  std::unique_ptr<orvfft::FFTSetup> forward(orvfft::CreateFFTSetup(param));
  param.backward = true;
  param.dataType = orvfft::kDataTypeDouble;
  param.stride = param.distance = sizeof(double);
  std::unique_ptr<orvfft::FFTSetup> backwardDouble(orvfft::CreateFFTSetup(param));
  EXPECT_EQ(Twiddles::GetCacheState(768), CacheState::kLive);
  forward.reset();
  EXPECT_EQ(Twiddles::GetCacheState(768), CacheState::kLive);
  backwardDouble.reset();
  EXPECT_EQ(Twiddles::GetCacheState(768), CacheState::kExpired);
}

// Several threads build, share, use and drop plans of overlapping lengths at
// once; every transform must stay exact and every table shared while alive.
TEST(Twiddles, ConcurrentPlanCreationSharesTablesSafely) {
  const std::vector<std::size_t> lengths = {48, 64, 96, 128, 192, 256, 384, 512};
  std::map<std::size_t, orvtest::ComplexSignal> inputs, references;
  for (const std::size_t n : lengths) {
    inputs[n] = orvtest::RandomComplex(n, static_cast<std::uint32_t>(n));
    references[n] = orvtest::DirectDft(inputs[n], false);
  }
  // Float transform error bound as in the plan tests.
  constexpr double kTolerance = 1e-5;
  constexpr int kThreads = 4, kRounds = 40;
  std::atomic<int> failures{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) {
        const std::size_t n = lengths[(round * 3 + t) % lengths.size()];
        orvfft::FFTParam param;
        param.size = {n};
        std::unique_ptr<orvfft::FFTSetup> plan(orvfft::CreateFFTSetup(param));
        const auto table = Twiddles::GetInstance(static_cast<unsigned>(n));
        if (Twiddles::GetInstance(static_cast<unsigned>(n)) != table) ++failures;
        const auto& x = inputs.at(n);
        std::vector<float> re(x.re.begin(), x.re.end()), im(x.im.begin(), x.im.end());
        plan->Transform(orvfft::FFTInput{re.data(), im.data(), re.data(), im.data()});
        if (!(orvtest::RelativeRmsError(re.data(), im.data(), references.at(n)) < kTolerance)) {
          ++failures;
        }
      }
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
