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

// The factors of outputs 1 .. r - 1 and the outputs of one butterfly, as
// named values: kept in registers, never in arrays on the stack.
template <typename C>
struct Factors {
  C w1, w2, w3;
};
template <typename C>
struct Outputs {
  C b0, b1, b2, b3;
};

// The length-r DFT of a_s = load(s) in the pass's direction, outputs 1 .. r-1
// multiplied by their factors when `twiddled`.
template <std::uint32_t radix, bool backward, bool twiddled, typename C, typename Load>
inline Outputs<C> Combine(const Load& load, const Factors<C>& w) noexcept {
  Outputs<C> out;
  if constexpr (radix == 2) {
    const C a0 = load(0), a1 = load(1);
    out.b0 = Plus(a0, a1);
    out.b1 = Minus(a0, a1);
  } else if constexpr (radix == 3) {
    const C a0 = load(0), a1 = load(1), a2 = load(2);
    const C s = Plus(a1, a2);
    out.b0 = Plus(a0, s);
    const C m = Minus(a0, Scaled(s, 0.5f));
    // √3/2, the imaginary part of e^(±2πi/3).
    const C d = Scaled(Minus(a2, a1), 0.8660254037844386f);
    out.b1 = backward ? MinusITimes(m, d) : PlusITimes(m, d);
    out.b2 = backward ? PlusITimes(m, d) : MinusITimes(m, d);
  } else {
    const C a0 = load(0), a2 = load(2);
    const C t0 = Plus(a0, a2), t1 = Minus(a0, a2);
    const C a1 = load(1), a3 = load(3);
    const C t2 = Plus(a1, a3), t3 = Minus(a1, a3);
    out.b0 = Plus(t0, t2);
    out.b2 = Minus(t0, t2);
    out.b1 = backward ? PlusITimes(t1, t3) : MinusITimes(t1, t3);
    out.b3 = backward ? MinusITimes(t1, t3) : PlusITimes(t1, t3);
  }
  if constexpr (twiddled) {
    out.b1 = Twiddle<backward>(out.b1, w.w1);
    if constexpr (radix >= 3) out.b2 = Twiddle<backward>(out.b2, w.w2);
    if constexpr (radix == 4) out.b3 = Twiddle<backward>(out.b3, w.w3);
  }
  return out;
}

// Hands outputs 0 .. r - 1 to store(k, value).
template <std::uint32_t radix, typename C, typename Store>
inline void StoreOutputs(const Outputs<C>& out, const Store& store) noexcept {
  store(0, out.b0);
  store(1, out.b1);
  if constexpr (radix >= 3) store(2, out.b2);
  if constexpr (radix == 4) store(3, out.b3);
}

// One pass reads x and writes y.
struct Pointers {
  const float* xr;
  const float* xi;
  float* yr;
  float* yi;
};

// One butterfly on scalars: group p, inner index q.
template <std::uint32_t radix, bool backward>
inline void ScalarButterfly(const Pointers& z, const std::complex<float>* factors, std::size_t P,
                            std::size_t M, std::size_t Q, std::size_t p, std::size_t q) noexcept {
  const std::size_t in = q + P * p;
  auto load = [&](std::size_t s) { return ScalarCx{z.xr[in + s * Q], z.xi[in + s * Q]}; };
  Outputs<ScalarCx> out;
  if (p > 0) {
    auto factor = [&](std::size_t k) {
      const std::complex<float> f = factors[(k - 1) * M + (p - 1)];
      return ScalarCx{f.real(), f.imag()};
    };
    Factors<ScalarCx> w{};
    w.w1 = factor(1);
    if constexpr (radix >= 3) w.w2 = factor(2);
    if constexpr (radix == 4) w.w3 = factor(3);
    out = Combine<radix, backward, true>(load, w);
  } else {
    out = Combine<radix, backward, false>(load, Factors<ScalarCx>{});
  }
  const std::size_t base = q + P * radix * p;
  StoreOutputs<radix>(out, [&](std::size_t k, ScalarCx v) {
    z.yr[base + P * k] = v.re;
    z.yi[base + P * k] = v.im;
  });
}

// P > 1: lanes are q .. q + 3 of one group, whose factors are broadcast.
// xAligned: every x address used is 16-byte aligned (aligned arrays and P a
// multiple of 4); yAligned likewise.
template <std::uint32_t radix, bool backward, bool twiddled, bool xAligned, bool yAligned>
inline void GroupAcrossQ(const Pointers& z, const std::complex<float>* factors, std::size_t P,
                         std::size_t M, std::size_t Q, std::size_t p) noexcept {
  using orv::simd::LoadAs;
  using orv::simd::Splat;
  using orv::simd::StoreAs;
  Factors<VectorCx> w{};
  if constexpr (twiddled) {
    auto factor = [&](std::size_t k) {
      const std::complex<float> f = factors[(k - 1) * M + (p - 1)];
      return VectorCx{Splat(f.real()), Splat(f.imag())};
    };
    w.w1 = factor(1);
    if constexpr (radix >= 3) w.w2 = factor(2);
    if constexpr (radix == 4) w.w3 = factor(3);
  }
  const std::size_t vectorEnd = P & ~std::size_t{3};
  // Local copies: stores through y must not make the compiler reload them.
  const float* const groupXr = z.xr + P * p;
  const float* const groupXi = z.xi + P * p;
  float* const groupYr = z.yr + P * radix * p;
  float* const groupYi = z.yi + P * radix * p;
  std::size_t q = 0;
  for (; q < vectorEnd; q += 4) {
    const float* xr = groupXr + q;
    const float* xi = groupXi + q;
    auto load = [&](std::size_t s) {
      return VectorCx{LoadAs<xAligned>(xr + s * Q), LoadAs<xAligned>(xi + s * Q)};
    };
    const Outputs<VectorCx> out = Combine<radix, backward, twiddled>(load, w);
    float* yr = groupYr + q;
    float* yi = groupYi + q;
    StoreOutputs<radix>(out, [&](std::size_t k, VectorCx v) {
      StoreAs<yAligned>(yr + P * k, v.re);
      StoreAs<yAligned>(yi + P * k, v.im);
    });
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

// The factors of groups p0 .. p0 + 3 (p0 ≥ 4) for one output k: four
// interleaved (re, im) pairs from entry p0 - 1 on, split into two vectors.
inline VectorCx GatherFactors(const std::complex<float>* factorsOfK, std::size_t p0) noexcept {
  using orv::simd::LoadU;
  using orv::simd::Shuffle;
  const float* f = reinterpret_cast<const float*>(factorsOfK + (p0 - 1));
  const Float4 lo = LoadU(f);
  const Float4 hi = LoadU(f + 4);
  return {Shuffle<0, 2, 0, 2>(lo, hi), Shuffle<1, 3, 1, 3>(lo, hi)};
}

// Groups 0 .. 3, where group 0 takes the factor 1 (needs M ≥ 4, so that
// entries 0 .. 3 exist).
inline VectorCx FirstFactors(const std::complex<float>* factorsOfK) noexcept {
  using orv::simd::Shuffle;
  using orv::simd::Splat;
  const VectorCx f = GatherFactors(factorsOfK, 1);              // groups 1 .. 4
  const Float4 oneRe = Shuffle<0, 0, 0, 0>(Splat(1.0f), f.re);  // 1 1 r1 r1
  const Float4 zeroIm = Shuffle<0, 0, 0, 0>(Splat(0.0f), f.im);
  return {Shuffle<0, 2, 1, 2>(oneRe, f.re), Shuffle<0, 2, 1, 2>(zeroIm, f.im)};  // 1 r1 r2 r3
}

// Lane j of bk belongs at y[r·(p0 + j) + k]: 4·r consecutive floats.
template <std::uint32_t radix, bool yAligned>
inline void StoreGroups(float* y, Float4 b0, Float4 b1, Float4 b2, Float4 b3) noexcept {
  using namespace orv::simd;
  auto Store = [](float* at, Float4 v) { StoreAs<yAligned>(at, v); };
  if constexpr (radix == 2) {
    Store(y, InterleaveLow(b0, b1));
    Store(y + 4, InterleaveHigh(b0, b1));
  } else if constexpr (radix == 3) {
    const Float4 ab01 = InterleaveLow(b0, b1);   // a0 b0 a1 b1
    const Float4 ab23 = InterleaveHigh(b0, b1);  // a2 b2 a3 b3
    const Float4 c0a1 = Shuffle<0, 0, 2, 2>(b2, ab01);
    const Float4 b1c1 = Shuffle<3, 3, 1, 1>(ab01, b2);
    const Float4 c2a3 = Shuffle<2, 2, 2, 2>(b2, ab23);
    const Float4 b3c3 = Shuffle<3, 3, 3, 3>(ab23, b2);
    Store(y, Shuffle<0, 1, 0, 2>(ab01, c0a1));      // a0 b0 c0 a1
    Store(y + 4, Shuffle<0, 2, 0, 1>(b1c1, ab23));  // b1 c1 a2 b2
    Store(y + 8, Shuffle<0, 2, 0, 2>(c2a3, b3c3));  // c2 a3 b3 c3
  } else {
    Transpose4(b0, b1, b2, b3);
    Store(y, b0);
    Store(y + 4, b1);
    Store(y + 8, b2);
    Store(y + 12, b3);
  }
}

template <std::uint32_t radix, bool yAligned>
inline void StoreGroups(float* yr, float* yi, const Outputs<VectorCx>& out) noexcept {
  StoreGroups<radix, yAligned>(yr, out.b0.re, out.b1.re, out.b2.re, out.b3.re);
  StoreGroups<radix, yAligned>(yi, out.b0.im, out.b1.im, out.b2.im, out.b3.im);
}

// P = 1: lanes are groups p0 .. p0 + 3. The outputs of four groups fill
// 4·r consecutive floats from r·p0, a multiple of 4, so y keeps its alignment.
template <std::uint32_t radix, bool backward, bool xAligned, bool yAligned>
void PassAcrossGroups(const Pointers& z, const std::complex<float>* factors,
                      std::size_t M) noexcept {
  using orv::simd::LoadAs;
  const std::size_t Q = M;
  const std::complex<float>* f1 = factors;
  const std::complex<float>* f2 = factors + M;
  const std::complex<float>* f3 = factors + 2 * M;
  const float* const xr = z.xr;
  const float* const xi = z.xi;
  float* const yr = z.yr;
  float* const yi = z.yi;
  auto step = [&](std::size_t p0, const Factors<VectorCx>& w) {
    auto load = [&](std::size_t s) {
      return VectorCx{LoadAs<xAligned>(xr + p0 + s * Q), LoadAs<xAligned>(xi + p0 + s * Q)};
    };
    StoreGroups<radix, yAligned>(yr + radix * p0, yi + radix * p0,
                                 Combine<radix, backward, true>(load, w));
  };
  std::size_t p0 = 0;
  if (M >= 4) {
    Factors<VectorCx> w{};
    w.w1 = FirstFactors(f1);
    if constexpr (radix >= 3) w.w2 = FirstFactors(f2);
    if constexpr (radix == 4) w.w3 = FirstFactors(f3);
    step(0, w);
    for (p0 = 4; p0 + 4 <= M; p0 += 4) {
      w.w1 = GatherFactors(f1, p0);
      if constexpr (radix >= 3) w.w2 = GatherFactors(f2, p0);
      if constexpr (radix == 4) w.w3 = GatherFactors(f3, p0);
      step(p0, w);
    }
  }
  for (; p0 < M; ++p0) ScalarButterfly<radix, backward>(z, factors, 1, M, Q, p0, 0);
}

// xAligned, yAligned: both arrays of x (of y) start on 16-byte boundaries.
template <std::uint32_t radix, bool backward, bool xAligned, bool yAligned>
void Pass(const KernelParam& param, const Pointers& z) noexcept {
  const std::complex<float>* factors = param.twiddles->Factors<float>() + param.twiddleOffset;
  const std::size_t P = param.innerCount;
  const std::size_t M = param.groupCount;
  const std::size_t Q = param.butterflyCount;
  if (P == 1) {
    // x is read at p0 + s·M: aligned only when M is a multiple of 4.
    if (M % 4 == 0)
      PassAcrossGroups<radix, backward, xAligned, yAligned>(z, factors, M);
    else
      PassAcrossGroups<radix, backward, false, yAligned>(z, factors, M);
  } else if (P % 4 == 0) {
    PassAcrossQ<radix, backward, xAligned, yAligned>(z, factors, P, M, Q);
  } else {
    PassAcrossQ<radix, backward, false, false>(z, factors, P, M, Q);
  }
}

// The end of a pass run in place: y back into x.
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

template <bool backward, bool xAligned, bool yAligned>
void Process(const KernelParam& param, const Pointers& z) noexcept {
  switch (param.radix) {
    case 2: Pass<2, backward, xAligned, yAligned>(param, z); break;
    case 3: Pass<3, backward, xAligned, yAligned>(param, z); break;
    case 4: Pass<4, backward, xAligned, yAligned>(param, z); break;
    default: ORV_ASSERT(false, "ORVFFT/Kernel_SimdX86");
  }
}

template <bool backward>
inline void Dispatch(const KernelParam& param, const Pointers& z) noexcept {
  using orv::simd::IsAligned16;
  const bool xAligned = IsAligned16(z.xr) && IsAligned16(z.xi);
  const bool yAligned = IsAligned16(z.yr) && IsAligned16(z.yi);
  if (xAligned && yAligned)
    Process<backward, true, true>(param, z);
  else if (xAligned)
    Process<backward, true, false>(param, z);
  else if (yAligned)
    Process<backward, false, true>(param, z);
  else
    Process<backward, false, false>(param, z);
}

template <DataType type, bool backward, cpu::FeatureLevel level>
void Simd(const KernelParam& param, const KernelData<float>& data) noexcept {
  static_assert(type == kDataTypeFloat, "the vector kernel works on 32-bit floats");
  if (param.stride != sizeof(float)) ORV_ASSERT(false, "ORVFFT/Kernel_SimdX86");
  Dispatch<backward>(param, Pointers{data.real, data.imag, data.workReal, data.workImag});
  if (orv::simd::IsAligned16(data.real) && orv::simd::IsAligned16(data.imag)) {
    CopyBack<true>(data.real, data.workReal, param.size);
    CopyBack<true>(data.imag, data.workImag, param.size);
  } else {
    CopyBack<false>(data.real, data.workReal, param.size);
    CopyBack<false>(data.imag, data.workImag, param.size);
  }
}

template <bool backward>
void SimdPass(const KernelParam& param, const float* sourceReal, const float* sourceImag,
              float* destinationReal, float* destinationImag) noexcept {
  if (param.stride != sizeof(float)) ORV_ASSERT(false, "ORVFFT/Kernel_SimdX86");
  Dispatch<backward>(param, Pointers{sourceReal, sourceImag, destinationReal, destinationImag});
}

#else  // no vector unit: plans never pick this kernel, but it stays callable.

template <DataType type, bool backward, cpu::FeatureLevel level>
void Simd(const KernelParam& param, const KernelData<float>& data) noexcept {
  static_assert(type == kDataTypeFloat, "the vector kernel works on 32-bit floats");
  if (param.stride != sizeof(float)) ORV_ASSERT(false, "ORVFFT/Kernel_SimdX86");
  Generic<float, backward>(param, data);
}

template <bool backward>
void SimdPass(const KernelParam&, const float*, const float*, float*, float*) noexcept {
  ORV_ASSERT(false, "ORVFFT/Kernel_SimdX86");
}

#endif  // ORV_HAVE_SIMD4

template void SimdPass<false>(const KernelParam&, const float*, const float*, float*,
                              float*) noexcept;
template void SimdPass<true>(const KernelParam&, const float*, const float*, float*,
                             float*) noexcept;
template void Simd<kDataTypeFloat, false, cpu::kFeatureLevelSimd4>(
    const KernelParam&, const KernelData<float>&) noexcept;
template void Simd<kDataTypeFloat, true, cpu::kFeatureLevelSimd4>(
    const KernelParam&, const KernelData<float>&) noexcept;

}  // namespace orvfft::kernel
