#include "dsp/OrvInternals_Vector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/OrvSimd.h"
#include "common/OrvTestUtil.h"
#include "dsp/OrvInternals_AlignedArray.h"

namespace {

using orv::AlignedArray;

constexpr float kGuard = 1234.5f;
// Summing up to five floats in a different order differs by a few ulps of
// the largest partial sum; the inputs are within ±1, so sums stay below 5.
constexpr float kReorderedSumTolerance = 4 * 5 * 1.2e-7f;

bool IsAligned(const void* p, std::uintptr_t alignment) {
  return reinterpret_cast<std::uintptr_t>(p) % alignment == 0;
}

// Noise copied to `offset` floats past a 64-byte boundary, guarded on both
// sides.
class Placed {
 public:
  Placed(const std::vector<float>& values, std::size_t offset)
      : n(values.size()), offset(offset), storage(values.size() + offset + 8) {
    std::fill(storage.begin(), storage.end(), kGuard);
    std::copy(values.begin(), values.end(), storage.Data() + offset);
  }
  float* data() { return storage.Data() + offset; }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < storage.Size(); ++i) {
      if (i >= offset && i < offset + n) continue;
      if (storage[i] != kGuard) return false;
    }
    return true;
  }

 private:
  std::size_t n, offset;
  AlignedArray<float> storage;
};

std::vector<float> Values(std::size_t n, std::uint32_t seed) { return orvtest::Noise(n, seed); }

const std::size_t kCounts[] = {0, 1, 3, 4, 5, 8, 15, 16, 17, 21, 64, 67};
// Offsets in floats: 0 takes the vector path (for n ≥ 4), the rest the scalar one.
const std::size_t kOffsets[] = {0, 1, 2, 3};

TEST(AlignedArray, StartsOnACacheLineAndCopiesElements) {
  AlignedArray<float> empty;
  EXPECT_EQ(empty.Size(), 0u);
  EXPECT_EQ(empty.Data(), nullptr);

  AlignedArray<float> a;
  for (const std::size_t n : {1u, 3u, 17u, 1000u}) {
    a.resize(n);
    EXPECT_EQ(a.Size(), n);
    EXPECT_TRUE(IsAligned(a.Data(), 64));
    for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<float>(i);  // whole range writable
  }
  AlignedArray<float> copy(a);
  EXPECT_NE(copy.Data(), a.Data());
  EXPECT_TRUE(IsAligned(copy.Data(), 64));
  ASSERT_EQ(copy.Size(), a.Size());
  EXPECT_TRUE(std::equal(copy.begin(), copy.end(), a.begin()));

  a.resize(0);
  EXPECT_EQ(a.Size(), 0u);
  EXPECT_EQ(a.begin(), a.end());
  AlignedArray<float> moved(std::move(copy));
  EXPECT_EQ(copy.Size(), 0u);
  EXPECT_EQ(moved.Size(), 1000u);
  EXPECT_EQ(moved[999], 999.0f);
}

// Every kernel test runs once per vector level (those the processor lacks
// are skipped): the level cap selects the 8-wide, 4-wide or scalar bodies,
// and within a level the placements select vector or scalar paths.
class LevelTest : public ::testing::TestWithParam<orv::simd::Level> {
 protected:
  void SetUp() override {
    if (orv::simd::DetectedLevel() < GetParam()) GTEST_SKIP() << "level not available here";
    orv::simd::LimitLevelForTesting(GetParam());
  }
  void TearDown() override { orv::simd::LimitLevelForTesting(orv::simd::Level::kSimd8); }
};
class Accumulate : public LevelTest {};
class ComplexMultiply : public LevelTest {};
class Scale : public LevelTest {};
class Interleaving : public LevelTest {};
class UntangleSpectrum : public LevelTest {};

std::string LevelName(const ::testing::TestParamInfo<orv::simd::Level>& info) {
  switch (info.param) {
    case orv::simd::Level::kScalar: return "Scalar";
    case orv::simd::Level::kSimd4: return "Simd4";
    default: return "Simd8";
  }
}

#define ORV_AT_EVERY_LEVEL(Suite)                                                                 \
  INSTANTIATE_TEST_SUITE_P(Levels, Suite,                                                         \
                           ::testing::Values(orv::simd::Level::kScalar, orv::simd::Level::kSimd4, \
                                             orv::simd::Level::kSimd8),                           \
                           LevelName)
ORV_AT_EVERY_LEVEL(Accumulate);
ORV_AT_EVERY_LEVEL(ComplexMultiply);
ORV_AT_EVERY_LEVEL(Scale);
ORV_AT_EVERY_LEVEL(Interleaving);
ORV_AT_EVERY_LEVEL(UntangleSpectrum);

TEST_P(Accumulate, OneSourceAddsExactlyOnEveryPath) {
  for (const std::size_t n : kCounts) {
    for (const std::size_t dstOffset : kOffsets) {
      for (const std::size_t srcOffset : {std::size_t{0}, std::size_t{1}}) {
        SCOPED_TRACE("n = " + std::to_string(n) + ", offsets " + std::to_string(dstOffset) + "/" +
                     std::to_string(srcOffset));
        const auto d0 = Values(n, 1), a0 = Values(n, 2);
        Placed dst(d0, dstOffset), a(a0, srcOffset);
        orv::Accumulate(n, dst.data(), a.data());
        // One addition per element: both paths round identically.
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(dst.data()[i], d0[i] + a0[i]) << i;
        EXPECT_TRUE(dst.GuardsIntact());
        EXPECT_TRUE(a.GuardsIntact());
      }
    }
  }
}

TEST_P(Accumulate, SeveralSourcesMatchTheDoubleSumOnEveryPath) {
  for (const std::size_t n : kCounts) {
    for (const std::size_t offset : kOffsets) {
      for (int sources = 2; sources <= 4; ++sources) {
        SCOPED_TRACE("n = " + std::to_string(n) + ", offset " + std::to_string(offset) + ", " +
                     std::to_string(sources) + " sources");
        const auto d0 = Values(n, 10);
        std::vector<std::vector<float>> s;
        for (int k = 0; k < 4; ++k) s.push_back(Values(n, 11 + k));
        // Only the destination moves off the boundary: one misaligned
        // pointer is enough to force the scalar path.
        Placed dst(d0, offset), a(s[0], 0), b(s[1], 0), c(s[2], 0), d(s[3], 0);
        switch (sources) {
          case 2: orv::Accumulate(n, dst.data(), a.data(), b.data()); break;
          case 3: orv::Accumulate(n, dst.data(), a.data(), b.data(), c.data()); break;
          default: orv::Accumulate(n, dst.data(), a.data(), b.data(), c.data(), d.data()); break;
        }
        for (std::size_t i = 0; i < n; ++i) {
          double expected = d0[i];
          for (int k = 0; k < sources; ++k) expected += s[k][i];
          ASSERT_NEAR(dst.data()[i], expected, kReorderedSumTolerance) << i;
        }
        EXPECT_TRUE(dst.GuardsIntact());
      }
    }
  }
}

TEST_P(Accumulate, MisalignedSourceTakesTheScalarPathWithTheSameResult) {
  constexpr std::size_t kN = 37;
  const auto d0 = Values(kN, 20), s0 = Values(kN, 21), s1 = Values(kN, 22), s2 = Values(kN, 23),
             s3 = Values(kN, 24);
  Placed alignedDst(d0, 0), misalignedDst(d0, 0);
  Placed a(s0, 0), b(s1, 0), c(s2, 0), d(s3, 0);
  Placed aOff(s0, 0), bOff(s1, 0), cOff(s2, 0), dOff(s3, 2);
  orv::Accumulate(kN, alignedDst.data(), a.data(), b.data(), c.data(), d.data());
  orv::Accumulate(kN, misalignedDst.data(), aOff.data(), bOff.data(), cOff.data(), dOff.data());
  for (std::size_t i = 0; i < kN; ++i) {
    EXPECT_NEAR(alignedDst.data()[i], misalignedDst.data()[i], kReorderedSumTolerance) << i;
  }
}

TEST_P(ComplexMultiply, ConstantProductOnBothPaths) {
  // (1 + 2i)(3 + 4i) = -5 + 10i exactly.
  for (const std::size_t n : {9u, 4u, 3u, 1u}) {
    for (const std::size_t offset : kOffsets) {
      SCOPED_TRACE("n = " + std::to_string(n) + ", offset " + std::to_string(offset));
      Placed xr(std::vector<float>(n, 1.0f), offset), xi(std::vector<float>(n, 2.0f), 0);
      Placed hr(std::vector<float>(n, 3.0f), 0), hi(std::vector<float>(n, 4.0f), 0);
      Placed o1r(std::vector<float>(n, 0.0f), 0), o1i(std::vector<float>(n, 0.0f), 0);
      Placed o2r(std::vector<float>(n, 0.0f), 0), o2i(std::vector<float>(n, 0.0f), offset);
      orv::ComplexMultiply(n, o1r.data(), o1i.data(), o2r.data(), o2i.data(), xr.data(), xi.data(),
                           hr.data(), hi.data(), hr.data(), hi.data());
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(o1r.data()[i], -5.0f);
        ASSERT_EQ(o1i.data()[i], 10.0f);
        ASSERT_EQ(o2r.data()[i], -5.0f);
        ASSERT_EQ(o2i.data()[i], 10.0f);
      }
      EXPECT_TRUE(o1r.GuardsIntact() && o1i.GuardsIntact() && o2r.GuardsIntact() &&
                  o2i.GuardsIntact());
    }
  }
}

TEST_P(ComplexMultiply, RandomValuesMatchTheFormulaInPlaceOrNot) {
  // Two products and a difference of float values: within 2 ulps of the
  // exact double result for magnitudes below 2.
  constexpr double kProductTolerance = 5e-7;
  for (const std::size_t n : kCounts) {
    for (const std::size_t offset : kOffsets) {
      for (const bool inPlace : {false, true}) {
        SCOPED_TRACE("n = " + std::to_string(n) + ", offset " + std::to_string(offset) +
                     (inPlace ? ", in place" : ""));
        const auto x0r = Values(n, 30), x0i = Values(n, 31), h1r = Values(n, 32),
                   h1i = Values(n, 33), h2r = Values(n, 34), h2i = Values(n, 35);
        Placed xr(x0r, offset), xi(x0i, offset), ar(h1r, 0), ai(h1i, 0), br(h2r, 0), bi(h2i, 0);
        Placed o1r(std::vector<float>(n), offset), o1i(std::vector<float>(n), offset);
        Placed o2r(std::vector<float>(n), 0), o2i(std::vector<float>(n), 0);
        float* out1Re = inPlace ? xr.data() : o1r.data();
        float* out1Im = inPlace ? xi.data() : o1i.data();
        orv::ComplexMultiply(n, out1Re, out1Im, o2r.data(), o2i.data(), xr.data(), xi.data(),
                             ar.data(), ai.data(), br.data(), bi.data());
        for (std::size_t i = 0; i < n; ++i) {
          const double xr_ = x0r[i], xi_ = x0i[i];
          ASSERT_NEAR(out1Re[i], xr_ * h1r[i] - xi_ * h1i[i], kProductTolerance) << i;
          ASSERT_NEAR(out1Im[i], xr_ * h1i[i] + xi_ * h1r[i], kProductTolerance) << i;
          ASSERT_NEAR(o2r.data()[i], xr_ * h2r[i] - xi_ * h2i[i], kProductTolerance) << i;
          ASSERT_NEAR(o2i.data()[i], xr_ * h2i[i] + xi_ * h2r[i], kProductTolerance) << i;
        }
        EXPECT_TRUE(xr.GuardsIntact() && xi.GuardsIntact() && o2r.GuardsIntact() &&
                    o2i.GuardsIntact());
      }
    }
  }
}

TEST_P(ComplexMultiply, AccumulatingFormAddsBothProductsToRunningSums) {
  // A product pair and one addition more than the plain form.
  constexpr double kSumTolerance = 1e-6;
  for (const std::size_t n : kCounts) {
    for (const std::size_t offset : kOffsets) {
      SCOPED_TRACE("n = " + std::to_string(n) + ", offset " + std::to_string(offset));
      const auto x0r = Values(n, 40), x0i = Values(n, 41), h1r = Values(n, 42), h1i = Values(n, 43),
                 h2r = Values(n, 44), h2i = Values(n, 45);
      const auto s1r = Values(n, 46), s1i = Values(n, 47), s2r = Values(n, 48), s2i = Values(n, 49);
      Placed xr(x0r, offset), xi(x0i, offset), ar(h1r, 0), ai(h1i, 0), br(h2r, 0), bi(h2i, 0);
      Placed a1r(s1r, offset), a1i(s1i, offset), a2r(s2r, 0), a2i(s2i, 0);
      orv::ComplexMultiplyAccumulate(n, a1r.data(), a1i.data(), a2r.data(), a2i.data(), xr.data(),
                                     xi.data(), ar.data(), ai.data(), br.data(), bi.data());
      for (std::size_t i = 0; i < n; ++i) {
        const double xr_ = x0r[i], xi_ = x0i[i];
        ASSERT_NEAR(a1r.data()[i], s1r[i] + xr_ * h1r[i] - xi_ * h1i[i], kSumTolerance) << i;
        ASSERT_NEAR(a1i.data()[i], s1i[i] + xr_ * h1i[i] + xi_ * h1r[i], kSumTolerance) << i;
        ASSERT_NEAR(a2r.data()[i], s2r[i] + xr_ * h2r[i] - xi_ * h2i[i], kSumTolerance) << i;
        ASSERT_NEAR(a2i.data()[i], s2i[i] + xr_ * h2i[i] + xi_ * h2r[i], kSumTolerance) << i;
      }
      EXPECT_TRUE(a1r.GuardsIntact() && a1i.GuardsIntact() && a2r.GuardsIntact() &&
                  a2i.GuardsIntact());
    }
  }
}

TEST_P(Scale, CopyFiniteZeroesWhatIsNotANumberAndReportsThePeak) {
  const float inf = std::numeric_limits<float>::infinity();
  for (const std::size_t n : kCounts) {
    for (const std::size_t offset : kOffsets) {
      SCOPED_TRACE("n = " + std::to_string(n) + ", offset " + std::to_string(offset));
      auto values = Values(n, 50);
      float peak = 0.0f;
      for (std::size_t i = 0; i < n; ++i) {
        if (i % 5 == 2) values[i] = i % 2 ? inf : -std::numeric_limits<float>::quiet_NaN();
        if (i % 5 == 4) values[i] = -inf;
        if (std::isfinite(values[i])) peak = std::max(peak, std::fabs(values[i]));
      }
      Placed src(values, offset), dst(std::vector<float>(n, 7.0f), (offset + 1) % 4);
      EXPECT_EQ(orv::CopyFinite(n, dst.data(), src.data()), peak);
      for (std::size_t i = 0; i < n; ++i)
        ASSERT_EQ(dst.data()[i], std::isfinite(values[i]) ? values[i] : 0.0f) << i;
      EXPECT_TRUE(dst.GuardsIntact());
    }
  }
}

TEST_P(Scale, MultipliesEveryElementExactlyOnEveryPath) {
  for (const std::size_t n : kCounts) {
    for (const std::size_t offset : kOffsets) {
      SCOPED_TRACE("n = " + std::to_string(n) + ", offset " + std::to_string(offset));
      const auto v = Values(n, 40);
      Placed buffer(v, offset);
      orv::Scale(n, buffer.data(), 0.3f);
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(buffer.data()[i], v[i] * 0.3f) << i;
      EXPECT_TRUE(buffer.GuardsIntact());
    }
  }
}

TEST_P(Scale, TwentyOneAlignedElementsAreAllHalved) {
  // One step of sixteen, one of four, one single element.
  const auto v = Values(21, 41);
  Placed buffer(v, 0);
  orv::Scale(21, buffer.data(), 0.5f);
  for (std::size_t i = 0; i < 21; ++i) EXPECT_EQ(buffer.data()[i], v[i] / 2) << i;
}

TEST_P(Interleaving, SplitsAndJoinsExactlyOnEveryPath) {
  for (const std::size_t n : kCounts) {
    for (const std::size_t offset : kOffsets) {
      SCOPED_TRACE("n = " + std::to_string(n) + ", offset " + std::to_string(offset));
      const auto samples = Values(2 * n, 50);
      Placed in(samples, offset), even(std::vector<float>(n), 0), odd(std::vector<float>(n), 0);
      orv::Deinterleave(n, even.data(), odd.data(), in.data());
      for (std::size_t k = 0; k < n; ++k) {
        ASSERT_EQ(even.data()[k], samples[2 * k]) << k;
        ASSERT_EQ(odd.data()[k], samples[2 * k + 1]) << k;
      }
      Placed out(std::vector<float>(2 * n), offset);
      orv::Interleave(n, out.data(), even.data(), odd.data());
      for (std::size_t i = 0; i < 2 * n; ++i) ASSERT_EQ(out.data()[i], samples[i]) << i;
      EXPECT_TRUE(even.GuardsIntact() && odd.GuardsIntact() && out.GuardsIntact());
    }
  }
}

TEST_P(UntangleSpectrum, MatchesTheFormulaWithExactFactors) {
  // Factors come from chains of float products, about n/8 links long: their
  // error grows to ~n/8 · eps relative, on values of magnitude up to ~8.
  constexpr double kChainTolerance = 2e-5;
  for (const std::size_t n : {2u, 4u, 8u, 16u, 64u, 256u, 1024u}) {
    for (const std::size_t offset : {std::size_t{0}, std::size_t{1}}) {
      SCOPED_TRACE("n = " + std::to_string(n) + ", offset " + std::to_string(offset));
      // The real FFT's factors: t_k = -i·e^(-iπk/n). With them the two
      // formulas agree at k = n/2, where they address one element.
      const double beta = -M_PI / static_cast<double>(n), alpha = -M_PI / 2 + beta;
      const std::complex<float> first(static_cast<float>(std::cos(alpha)),
                                      static_cast<float>(std::sin(alpha)));
      const std::complex<float> step(static_cast<float>(std::cos(beta)),
                                     static_cast<float>(std::sin(beta)));
      const auto z0r = Values(n, 60), z0i = Values(n, 61);
      Placed zr(z0r, offset), zi(z0i, offset);
      Placed outRe(std::vector<float>(n, 99.0f), offset),
          outIm(std::vector<float>(n, 99.0f), offset);
      orv::UntangleSpectrum(n, outRe.data(), outIm.data(), zr.data(), zi.data(), first, step,
                            0.25f);
      EXPECT_EQ(outRe.data()[0], 99.0f) << "element 0 is the caller's";
      EXPECT_EQ(outIm.data()[0], 99.0f);
      for (std::size_t k = 1; k <= n / 2; ++k) {
        const std::complex<double> zk(z0r[k], z0i[k]), zm(z0r[n - k], z0i[n - k]);
        const std::complex<double> a = zk + std::conj(zm), b = zk - std::conj(zm);
        const std::complex<double> t =
            std::complex<double>(first) * std::polar(1.0, beta * static_cast<double>(k - 1));
        const std::complex<double> low = 0.25 * (a + t * b), high = 0.25 * std::conj(a - t * b);
        ASSERT_NEAR(outRe.data()[k], low.real(), kChainTolerance) << k;
        ASSERT_NEAR(outIm.data()[k], low.imag(), kChainTolerance) << k;
        ASSERT_NEAR(outRe.data()[n - k], high.real(), kChainTolerance) << k;
        ASSERT_NEAR(outIm.data()[n - k], high.imag(), kChainTolerance) << k;
      }
      EXPECT_TRUE(outRe.GuardsIntact() && outIm.GuardsIntact());
    }
  }
}

TEST_P(UntangleSpectrum, TableFormMatchesTheFormulaOnEveryPathAndPlacement) {
  // Inputs within ±1 keep every intermediate below ~6 in magnitude; a handful
  // of float roundings (fused or not) of that size stay below 2e-6.
  constexpr double kTableFormTolerance = 2e-6;
  {
    for (const std::size_t n : {2u, 4u, 8u, 16u, 32u, 128u, 256u}) {
      for (const std::size_t offset : {0u, 1u, 3u}) {
        SCOPED_TRACE("n = " + std::to_string(n) + ", offset " + std::to_string(offset));
        // The real FFT's forward factors t_k = -i·e^(-iπk/n).
        std::vector<float> t0r(n / 2), t0i(n / 2);
        for (std::size_t k = 1; k <= n / 2; ++k) {
          const double angle = -M_PI / 2 - M_PI * static_cast<double>(k) / static_cast<double>(n);
          t0r[k - 1] = static_cast<float>(std::cos(angle));
          t0i[k - 1] = static_cast<float>(std::sin(angle));
        }
        const auto z0r = Values(n, 80), z0i = Values(n, 81);
        Placed zr(z0r, offset), zi(z0i, (offset + 1) % 4), tr(t0r, offset), ti(t0i, 0);
        Placed outRe(std::vector<float>(n, 99.0f), (offset + 2) % 4),
            outIm(std::vector<float>(n, 99.0f), offset);
        orv::UntangleSpectrum(n, outRe.data(), outIm.data(), zr.data(), zi.data(), tr.data(),
                              ti.data(), 0.25f);
        EXPECT_EQ(outRe.data()[0], 99.0f) << "element 0 is the caller's";
        EXPECT_EQ(outIm.data()[0], 99.0f);
        for (std::size_t k = 1; k <= n / 2; ++k) {
          const std::complex<double> zk(z0r[k], z0i[k]), zm(z0r[n - k], z0i[n - k]);
          const std::complex<double> a = zk + std::conj(zm), b = zk - std::conj(zm);
          const std::complex<double> t(t0r[k - 1], t0i[k - 1]);
          const std::complex<double> low = 0.25 * (a + t * b), high = 0.25 * std::conj(a - t * b);
          ASSERT_NEAR(outRe.data()[n - k], high.real(), kTableFormTolerance) << k;
          ASSERT_NEAR(outIm.data()[n - k], high.imag(), kTableFormTolerance) << k;
          if (k == n / 2) continue;  // one element: the second formula's
          ASSERT_NEAR(outRe.data()[k], low.real(), kTableFormTolerance) << k;
          ASSERT_NEAR(outIm.data()[k], low.imag(), kTableFormTolerance) << k;
        }
        EXPECT_TRUE(outRe.GuardsIntact() && outIm.GuardsIntact());
      }
    }
  }
}

TEST_P(UntangleSpectrum, VectorAndScalarPathsAgree) {
  // Same operations in the same order on both paths.
  constexpr float kSamePathTolerance = 1e-6f;
  constexpr std::size_t kN = 128;
  const std::complex<float> first(0.1f, -0.995f), step(0.9997f, -0.0245f);
  const auto z0r = Values(kN, 70), z0i = Values(kN, 71);
  Placed zr(z0r, 0), zi(z0i, 0), vr(std::vector<float>(kN), 0), vi(std::vector<float>(kN), 0);
  Placed zrOff(z0r, 3), ziOff(z0i, 3), sr(std::vector<float>(kN), 3), si(std::vector<float>(kN), 3);
  orv::UntangleSpectrum(kN, vr.data(), vi.data(), zr.data(), zi.data(), first, step, 1.0f);
  orv::UntangleSpectrum(kN, sr.data(), si.data(), zrOff.data(), ziOff.data(), first, step, 1.0f);
  for (std::size_t k = 1; k < kN; ++k) {
    ASSERT_NEAR(vr.data()[k], sr.data()[k], kSamePathTolerance) << k;
    ASSERT_NEAR(vi.data()[k], si.data()[k], kSamePathTolerance) << k;
  }
}

}  // namespace
