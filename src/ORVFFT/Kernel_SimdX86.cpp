// The 4-wide single-precision pass. When P = 1 the four lanes are four
// consecutive groups (their factors gathered, their outputs transposed into
// place); otherwise they are four consecutive q of one group, whose factors
// are broadcast. Leftovers that do not fill a vector run the same butterflies
// on scalars, so both give the generic kernel's results up to rounding.
#include <complex>

#include "ORVFFT/Kernel.h"
#include "ORVFFT/Twiddles.h"
#include "common/OrvAssert.h"
#include "common/OrvSimd.h"

namespace orvfft::kernel {

#if defined(ORV_HAVE_SIMD4)
namespace {

using orv::simd::Float4;

// Scalar twins of the vector operations, so one butterfly serves both.
inline float Add(float a, float b) noexcept { return a + b; }
inline float Sub(float a, float b) noexcept { return a - b; }
inline float Mul(float a, float b) noexcept { return a * b; }
inline Float4 Add(Float4 a, Float4 b) noexcept { return orv::simd::Add(a, b); }
inline Float4 Sub(Float4 a, Float4 b) noexcept { return orv::simd::Sub(a, b); }
inline Float4 Mul(Float4 a, Float4 b) noexcept { return orv::simd::Mul(a, b); }

// Complex values: one number, or four in the lanes of two vectors.
struct ScalarCx {
  float re, im;
  static float Splat(float x) noexcept { return x; }
};
struct VectorCx {
  Float4 re, im;
  static Float4 Splat(float x) noexcept { return orv::simd::Splat(x); }
};

template <typename C>
inline C Plus(C a, C b) noexcept {
  return {Add(a.re, b.re), Add(a.im, b.im)};
}
template <typename C>
inline C Minus(C a, C b) noexcept {
  return {Sub(a.re, b.re), Sub(a.im, b.im)};
}
template <typename C>
inline C Scaled(C a, float s) noexcept {
  const auto factor = C::Splat(s);
  return {Mul(a.re, factor), Mul(a.im, factor)};
}
// a + i·b and a - i·b.
template <typename C>
inline C PlusITimes(C a, C b) noexcept {
  return {Sub(a.re, b.im), Add(a.im, b.re)};
}
template <typename C>
inline C MinusITimes(C a, C b) noexcept {
  return {Add(a.re, b.im), Sub(a.im, b.re)};
}

// b · w for backward passes, b · conj(w) for forward ones.
template <bool backward, typename C>
inline C Twiddle(C b, C w) noexcept {
  if constexpr (backward) {
    return {Sub(Mul(b.re, w.re), Mul(b.im, w.im)), Add(Mul(b.re, w.im), Mul(b.im, w.re))};
  } else {
    return {Add(Mul(b.re, w.re), Mul(b.im, w.im)), Sub(Mul(b.im, w.re), Mul(b.re, w.im))};
  }
}

// The length-r DFT of a in the pass's direction.
template <std::uint32_t radix, bool backward, typename C>
inline void Butterfly(const C* a, C* b) noexcept {
  if constexpr (radix == 2) {
    b[0] = Plus(a[0], a[1]);
    b[1] = Minus(a[0], a[1]);
  } else if constexpr (radix == 3) {
    const C s = Plus(a[1], a[2]);
    b[0] = Plus(a[0], s);
    const C m = Minus(a[0], Scaled(s, 0.5f));
    // √3/2, the imaginary part of e^(±2πi/3).
    const C d = Scaled(Minus(a[2], a[1]), 0.8660254037844386f);
    if constexpr (backward) {
      b[1] = MinusITimes(m, d);
      b[2] = PlusITimes(m, d);
    } else {
      b[1] = PlusITimes(m, d);
      b[2] = MinusITimes(m, d);
    }
  } else {
    const C t0 = Plus(a[0], a[2]);
    const C t1 = Minus(a[0], a[2]);
    const C t2 = Plus(a[1], a[3]);
    const C t3 = Minus(a[1], a[3]);
    b[0] = Plus(t0, t2);
    b[2] = Minus(t0, t2);
    if constexpr (backward) {
      b[1] = PlusITimes(t1, t3);
      b[3] = MinusITimes(t1, t3);
    } else {
      b[1] = MinusITimes(t1, t3);
      b[3] = PlusITimes(t1, t3);
    }
  }
}

struct Pointers {
  float* xr;
  float* xi;
  float* yr;
  float* yi;
};

// One butterfly on scalars: group p, inner index q.
template <std::uint32_t radix, bool backward>
inline void ScalarButterfly(const Pointers& z, const std::complex<float>* factors,
                            std::size_t P, std::size_t M, std::size_t Q, std::size_t p,
                            std::size_t q) noexcept {
  ScalarCx a[radix], b[radix];
  for (std::uint32_t s = 0; s < radix; ++s) {
    a[s] = {z.xr[q + P * p + s * Q], z.xi[q + P * p + s * Q]};
  }
  Butterfly<radix, backward>(a, b);
  const std::size_t out = q + P * radix * p;
  z.yr[out] = b[0].re;
  z.yi[out] = b[0].im;
  for (std::uint32_t k = 1; k < radix; ++k) {
    if (p > 0) {
      const std::complex<float> w = factors[(k - 1) * M + (p - 1)];
      b[k] = Twiddle<backward>(b[k], ScalarCx{w.real(), w.imag()});
    }
    z.yr[out + P * k] = b[k].re;
    z.yi[out + P * k] = b[k].im;
  }
}

// P > 1: lanes are q .. q + 3 of one group. xAligned: every x address used is
// 16-byte aligned (aligned arrays and P a multiple of 4); yAligned likewise.
template <std::uint32_t radix, bool backward, bool hasFactors, bool xAligned, bool yAligned>
inline void GroupAcrossQ(const Pointers& z, const std::complex<float>* factors, std::size_t P,
                         std::size_t M, std::size_t Q, std::size_t p) noexcept {
  using orv::simd::LoadAs;
  using orv::simd::Splat;
  using orv::simd::StoreAs;
  VectorCx w[radix];
  if constexpr (hasFactors) {
    for (std::uint32_t k = 1; k < radix; ++k) {
      const std::complex<float> f = factors[(k - 1) * M + (p - 1)];
      w[k] = {Splat(f.real()), Splat(f.imag())};
    }
  }
  const std::size_t in = P * p;
  const std::size_t out = P * radix * p;
  const std::size_t vectorEnd = P & ~std::size_t{3};
  std::size_t q = 0;
  for (; q < vectorEnd; q += 4) {
    VectorCx a[radix], b[radix];
    for (std::uint32_t s = 0; s < radix; ++s) {
      a[s] = {LoadAs<xAligned>(z.xr + in + q + s * Q), LoadAs<xAligned>(z.xi + in + q + s * Q)};
    }
    Butterfly<radix, backward>(a, b);
    StoreAs<yAligned>(z.yr + out + q, b[0].re);
    StoreAs<yAligned>(z.yi + out + q, b[0].im);
    for (std::uint32_t k = 1; k < radix; ++k) {
      if constexpr (hasFactors) b[k] = Twiddle<backward>(b[k], w[k]);
      StoreAs<yAligned>(z.yr + out + q + P * k, b[k].re);
      StoreAs<yAligned>(z.yi + out + q + P * k, b[k].im);
    }
  }
  for (; q < P; ++q) ScalarButterfly<radix, backward>(z, factors, P, M, Q, p, q);
}

template <std::uint32_t radix, bool backward, bool xAligned, bool yAligned>
void PassAcrossQ(const Pointers& z, const std::complex<float>* factors, std::size_t P,
                 std::size_t M, std::size_t Q) noexcept {
  // Group 0 needs no factors.
  GroupAcrossQ<radix, backward, false, xAligned, yAligned>(z, factors, P, M, Q, 0);
  for (std::size_t p = 1; p < M; ++p) {
    GroupAcrossQ<radix, backward, true, xAligned, yAligned>(z, factors, P, M, Q, p);
  }
}

// The factors of groups p0 .. p0 + 3 for output k, as a vector pair.
inline VectorCx GatherFactors(const std::complex<float>* factorsOfK, std::size_t p0) noexcept {
  using orv::simd::LoadU;
  using orv::simd::Shuffle;
  if (p0 == 0) {
    // Group 0 takes the factor 1.
    alignas(16) float re[4] = {1.0f, factorsOfK[0].real(), factorsOfK[1].real(),
                               factorsOfK[2].real()};
    alignas(16) float im[4] = {0.0f, factorsOfK[0].imag(), factorsOfK[1].imag(),
                               factorsOfK[2].imag()};
    return {orv::simd::Load(re), orv::simd::Load(im)};
  }
  // Four interleaved (re, im) pairs from entry p0 - 1 on.
  const float* f = reinterpret_cast<const float*>(factorsOfK + (p0 - 1));
  const Float4 lo = LoadU(f);
  const Float4 hi = LoadU(f + 4);
  return {Shuffle<0, 2, 0, 2>(lo, hi), Shuffle<1, 3, 1, 3>(lo, hi)};
}

// Lane j of b[k] belongs at y[r·(p0 + j) + k]: 4·r consecutive floats.
template <std::uint32_t radix>
inline void StoreGroups(float* y, Float4* b) noexcept {
  using namespace orv::simd;
  if constexpr (radix == 2) {
    Store(y, InterleaveLow(b[0], b[1]));
    Store(y + 4, InterleaveHigh(b[0], b[1]));
  } else if constexpr (radix == 3) {
    const Float4 ab01 = InterleaveLow(b[0], b[1]);   // a0 b0 a1 b1
    const Float4 ab23 = InterleaveHigh(b[0], b[1]);  // a2 b2 a3 b3
    const Float4 c0a1 = Shuffle<0, 0, 2, 2>(b[2], ab01);
    const Float4 b1c1 = Shuffle<3, 3, 1, 1>(ab01, b[2]);
    const Float4 c2a3 = Shuffle<2, 2, 2, 2>(b[2], ab23);
    const Float4 b3c3 = Shuffle<3, 3, 3, 3>(ab23, b[2]);
    Store(y, Shuffle<0, 1, 0, 2>(ab01, c0a1));      // a0 b0 c0 a1
    Store(y + 4, Shuffle<0, 2, 0, 1>(b1c1, ab23));  // b1 c1 a2 b2
    Store(y + 8, Shuffle<0, 2, 0, 2>(c2a3, b3c3));  // c2 a3 b3 c3
  } else {
    Transpose4(b[0], b[1], b[2], b[3]);
    Store(y, b[0]);
    Store(y + 4, b[1]);
    Store(y + 8, b[2]);
    Store(y + 12, b[3]);
  }
}

// P = 1: lanes are groups p0 .. p0 + 3. y is always aligned here since
// r·p0 is a multiple of 4.
template <std::uint32_t radix, bool backward, bool xAligned>
void PassAcrossGroups(const Pointers& z, const std::complex<float>* factors, std::size_t M)
    noexcept {
  using orv::simd::LoadAs;
  const std::size_t Q = M;
  std::size_t p0 = 0;
  for (; p0 + 4 <= M; p0 += 4) {
    VectorCx a[radix], b[radix];
    for (std::uint32_t s = 0; s < radix; ++s) {
      a[s] = {LoadAs<xAligned>(z.xr + p0 + s * Q), LoadAs<xAligned>(z.xi + p0 + s * Q)};
    }
    Butterfly<radix, backward>(a, b);
    for (std::uint32_t k = 1; k < radix; ++k) {
      b[k] = Twiddle<backward>(b[k], GatherFactors(factors + (k - 1) * M, p0));
    }
    Float4 re[radix], im[radix];
    for (std::uint32_t k = 0; k < radix; ++k) {
      re[k] = b[k].re;
      im[k] = b[k].im;
    }
    StoreGroups<radix>(z.yr + radix * p0, re);
    StoreGroups<radix>(z.yi + radix * p0, im);
  }
  for (; p0 < M; ++p0) ScalarButterfly<radix, backward>(z, factors, 1, M, Q, p0, 0);
}

template <std::uint32_t radix, bool backward, bool isAligned>
void Pass(const KernelParam& param, const Pointers& z) noexcept {
  const std::complex<float>* factors =
      param.twiddles->Factors<float>() + param.twiddleOffset;
  const std::size_t P = param.innerCount;
  const std::size_t M = param.groupCount;
  const std::size_t Q = param.butterflyCount;
  if (P == 1) {
    if (M % 4 == 0) PassAcrossGroups<radix, backward, isAligned>(z, factors, M);
    else PassAcrossGroups<radix, backward, false>(z, factors, M);
  } else if (P % 4 == 0) {
    PassAcrossQ<radix, backward, isAligned, true>(z, factors, P, M, Q);
  } else {
    PassAcrossQ<radix, backward, false, false>(z, factors, P, M, Q);
  }
}

template <bool isAligned>
inline void CopyBack(float* x, const float* y, std::size_t n) noexcept {
  using namespace orv::simd;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    StoreAs<isAligned>(x + i, Load(y + i));
    StoreAs<isAligned>(x + i + 4, Load(y + i + 4));
  }
  for (; i + 4 <= n; i += 4) StoreAs<isAligned>(x + i, Load(y + i));
  for (; i < n; ++i) x[i] = y[i];
}

}  // namespace

// isAligned: both data arrays start on 16-byte boundaries.
template <bool backward, bool isAligned>
void Process(const KernelParam& param, const KernelData<float>& data) noexcept {
  const Pointers z{data.real, data.imag, data.workReal, data.workImag};
  switch (param.radix) {
    case 2: Pass<2, backward, isAligned>(param, z); break;
    case 3: Pass<3, backward, isAligned>(param, z); break;
    case 4: Pass<4, backward, isAligned>(param, z); break;
    default: ORV_ASSERT(false, "ORVFFT/Kernel_SimdX86");
  }
  CopyBack<isAligned>(data.real, data.workReal, param.size);
  CopyBack<isAligned>(data.imag, data.workImag, param.size);
}

template <DataType type, bool backward, cpu::FeatureLevel level>
void Simd(const KernelParam& param, const KernelData<float>& data) noexcept {
  static_assert(type == kDataTypeFloat, "the vector kernel works on 32-bit floats");
  if (param.stride != sizeof(float)) ORV_ASSERT(false, "ORVFFT/Kernel_SimdX86");
  if (orv::simd::IsAligned16(data.real) && orv::simd::IsAligned16(data.imag)) {
    Process<backward, true>(param, data);
  } else {
    Process<backward, false>(param, data);
  }
}

#else  // no vector unit: plans never pick this kernel, but it stays callable.

template <DataType type, bool backward, cpu::FeatureLevel level>
void Simd(const KernelParam& param, const KernelData<float>& data) noexcept {
  static_assert(type == kDataTypeFloat, "the vector kernel works on 32-bit floats");
  if (param.stride != sizeof(float)) ORV_ASSERT(false, "ORVFFT/Kernel_SimdX86");
  Generic<float, backward>(param, data);
}

#endif  // ORV_HAVE_SIMD4

template void Simd<kDataTypeFloat, false, cpu::kFeatureLevelSimd4>(
    const KernelParam&, const KernelData<float>&) noexcept;
template void Simd<kDataTypeFloat, true, cpu::kFeatureLevelSimd4>(
    const KernelParam&, const KernelData<float>&) noexcept;

}  // namespace orvfft::kernel
