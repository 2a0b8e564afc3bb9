#include "dsp/OrvInternals_Vector.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/OrvSimd.h"

namespace orv {
namespace {

using simd::IsAligned16;

template <typename... Pointers>
bool AllAligned(const Pointers*... p) noexcept {
  return (IsAligned16(p) && ...);
}

#if defined(ORV_HAVE_SIMD8)
// The 8-wide bodies: each handles whole groups of 8 from 0 and returns where
// it stopped; the caller's 4-wide and scalar loops finish. Same operations
// in the same order as the 4-wide bodies.
bool UseSimd8() noexcept { return simd::ActiveLevel() >= simd::Level::kSimd8; }

template <int sources>
ORV_TARGET_SIMD8 std::size_t Accumulate8(std::size_t n, float* dst, const float* a, const float* b,
                                         const float* c, const float* d) noexcept {
  using namespace simd;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    Float8 sum = Add(LoadU8(dst + i), LoadU8(a + i));
    if constexpr (sources >= 2) sum = Add(sum, LoadU8(b + i));
    if constexpr (sources >= 3) sum = Add(sum, LoadU8(c + i));
    if constexpr (sources >= 4) sum = Add(sum, LoadU8(d + i));
    StoreU8(dst + i, sum);
  }
  return i;
}

// out = x·h (or out += x·h with accumulate) for two responses h1, h2.
template <bool accumulate>
ORV_TARGET_SIMD8 std::size_t ComplexProducts8(std::size_t n, float* out1Re, float* out1Im,
                                              float* out2Re, float* out2Im, const float* xRe,
                                              const float* xIm, const float* h1Re,
                                              const float* h1Im, const float* h2Re,
                                              const float* h2Im) noexcept {
  using namespace simd;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const Float8 xr = LoadU8(xRe + i), xi = LoadU8(xIm + i);
    const Float8 ar = LoadU8(h1Re + i), ai = LoadU8(h1Im + i);
    const Float8 br = LoadU8(h2Re + i), bi = LoadU8(h2Im + i);
    Float8 p1r = Sub(Mul(xr, ar), Mul(xi, ai)), p1i = Add(Mul(xr, ai), Mul(xi, ar));
    Float8 p2r = Sub(Mul(xr, br), Mul(xi, bi)), p2i = Add(Mul(xr, bi), Mul(xi, br));
    if constexpr (accumulate) {
      p1r = Add(LoadU8(out1Re + i), p1r);
      p1i = Add(LoadU8(out1Im + i), p1i);
      p2r = Add(LoadU8(out2Re + i), p2r);
      p2i = Add(LoadU8(out2Im + i), p2i);
    }
    StoreU8(out1Re + i, p1r);
    StoreU8(out1Im + i, p1i);
    StoreU8(out2Re + i, p2r);
    StoreU8(out2Im + i, p2i);
  }
  return i;
}

ORV_TARGET_SIMD8 std::size_t Scale8(std::size_t n, float* buffer, float factor) noexcept {
  using namespace simd;
  const Float8 f = Splat8(factor);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    StoreU8(buffer + i, Mul(LoadU8(buffer + i), f));
    StoreU8(buffer + i + 8, Mul(LoadU8(buffer + i + 8), f));
  }
  for (; i + 8 <= n; i += 8) StoreU8(buffer + i, Mul(LoadU8(buffer + i), f));
  return i;
}

ORV_TARGET_SIMD8 std::size_t DeinterleaveBody8(std::size_t n, float* even, float* odd,
                                               const float* in) noexcept {
  using namespace simd;
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    Float8 e, o;
    simd::Deinterleave8(LoadU8(in + 2 * k), LoadU8(in + 2 * k + 8), e, o);
    StoreU8(even + k, e);
    StoreU8(odd + k, o);
  }
  return k;
}

ORV_TARGET_SIMD8 std::size_t InterleaveBody8(std::size_t n, float* out, const float* even,
                                             const float* odd) noexcept {
  using namespace simd;
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    Float8 lo, hi;
    simd::Interleave8(LoadU8(even + k), LoadU8(odd + k), lo, hi);
    StoreU8(out + 2 * k, lo);
    StoreU8(out + 2 * k + 8, hi);
  }
  return k;
}
#endif  // ORV_HAVE_SIMD8

}  // namespace

void Accumulate(std::size_t n, float* dst, const float* a) noexcept {
  std::size_t i = 0;
#if defined(ORV_HAVE_SIMD4)
  if (n >= 4 && AllAligned(dst, a)) {
#if defined(ORV_HAVE_SIMD8)
    if (UseSimd8()) i = Accumulate8<1>(n, dst, a, nullptr, nullptr, nullptr);
#endif
    for (; i + 4 <= n; i += 4)
      simd::Store(dst + i, simd::Add(simd::Load(dst + i), simd::Load(a + i)));
  } else {
    for (; i + 4 <= n; i += 4)
      simd::StoreU(dst + i, simd::Add(simd::LoadU(dst + i), simd::LoadU(a + i)));
  }
#endif
  for (; i < n; ++i) dst[i] += a[i];
}

void Accumulate(std::size_t n, float* dst, const float* a, const float* b) noexcept {
#if defined(ORV_HAVE_SIMD4)
  if (n >= 4 && AllAligned(dst, a, b)) {
    std::size_t i = 0;
#if defined(ORV_HAVE_SIMD8)
    if (UseSimd8()) i = Accumulate8<2>(n, dst, a, b, nullptr, nullptr);
#endif
    for (; i + 4 <= n; i += 4) {
      simd::Float4 sum = simd::Add(simd::Load(dst + i), simd::Load(a + i));
      simd::Store(dst + i, simd::Add(sum, simd::Load(b + i)));
    }
    for (; i < n; ++i) dst[i] = (dst[i] + a[i]) + b[i];
    return;
  }
#endif
  for (std::size_t i = 0; i < n; ++i) dst[i] += a[i] + b[i];
}

void Accumulate(std::size_t n, float* dst, const float* a, const float* b,
                const float* c) noexcept {
#if defined(ORV_HAVE_SIMD4)
  if (n >= 4 && AllAligned(dst, a, b, c)) {
    std::size_t i = 0;
#if defined(ORV_HAVE_SIMD8)
    if (UseSimd8()) i = Accumulate8<3>(n, dst, a, b, c, nullptr);
#endif
    for (; i + 4 <= n; i += 4) {
      simd::Float4 sum = simd::Add(simd::Load(dst + i), simd::Load(a + i));
      sum = simd::Add(sum, simd::Load(b + i));
      simd::Store(dst + i, simd::Add(sum, simd::Load(c + i)));
    }
    for (; i < n; ++i) dst[i] = ((dst[i] + a[i]) + b[i]) + c[i];
    return;
  }
#endif
  for (std::size_t i = 0; i < n; ++i) dst[i] += a[i] + b[i] + c[i];
}

void Accumulate(std::size_t n, float* dst, const float* a, const float* b, const float* c,
                const float* d) noexcept {
#if defined(ORV_HAVE_SIMD4)
  if (n >= 4 && AllAligned(dst, a, b, c, d)) {
    std::size_t i = 0;
#if defined(ORV_HAVE_SIMD8)
    if (UseSimd8()) i = Accumulate8<4>(n, dst, a, b, c, d);
#endif
    for (; i + 4 <= n; i += 4) {
      simd::Float4 sum = simd::Add(simd::Load(dst + i), simd::Load(a + i));
      sum = simd::Add(sum, simd::Load(b + i));
      sum = simd::Add(sum, simd::Load(c + i));
      simd::Store(dst + i, simd::Add(sum, simd::Load(d + i)));
    }
    for (; i < n; ++i) dst[i] = (((dst[i] + a[i]) + b[i]) + c[i]) + d[i];
    return;
  }
#endif
  for (std::size_t i = 0; i < n; ++i) dst[i] += a[i] + b[i] + c[i] + d[i];
}

namespace {

// Both forms of the split-complex products; x is read completely before
// out1, which may be x in the plain form, is written.
template <bool accumulate>
void ComplexProducts(std::size_t n, float* out1Re, float* out1Im, float* out2Re, float* out2Im,
                     const float* xRe, const float* xIm, const float* h1Re, const float* h1Im,
                     const float* h2Re, const float* h2Im) noexcept {
  std::size_t i = 0;
#if defined(ORV_HAVE_SIMD4)
  if (n >= 4 && AllAligned(out1Re, out1Im, out2Re, out2Im, xRe, xIm, h1Re, h1Im, h2Re, h2Im)) {
    using namespace simd;
#if defined(ORV_HAVE_SIMD8)
    if (UseSimd8()) {
      i = ComplexProducts8<accumulate>(n, out1Re, out1Im, out2Re, out2Im, xRe, xIm, h1Re, h1Im,
                                       h2Re, h2Im);
    }
#endif
    auto put = [](float* p, Float4 v) { Store(p, accumulate ? Add(Load(p), v) : v); };
    for (; i + 4 <= n; i += 4) {
      const Float4 xr = Load(xRe + i), xi = Load(xIm + i);
      const Float4 ar = Load(h1Re + i), ai = Load(h1Im + i);
      const Float4 br = Load(h2Re + i), bi = Load(h2Im + i);
      put(out1Re + i, Sub(Mul(xr, ar), Mul(xi, ai)));
      put(out1Im + i, Add(Mul(xr, ai), Mul(xi, ar)));
      put(out2Re + i, Sub(Mul(xr, br), Mul(xi, bi)));
      put(out2Im + i, Add(Mul(xr, bi), Mul(xi, br)));
    }
  }
#endif
  auto put = [](float& out, float v) { out = accumulate ? out + v : v; };
  for (; i < n; ++i) {
    const float xr = xRe[i], xi = xIm[i];
    const float ar = h1Re[i], ai = h1Im[i];
    const float br = h2Re[i], bi = h2Im[i];
    put(out1Re[i], xr * ar - xi * ai);
    put(out1Im[i], xr * ai + xi * ar);
    put(out2Re[i], xr * br - xi * bi);
    put(out2Im[i], xr * bi + xi * br);
  }
}

}  // namespace

void ComplexMultiply(std::size_t n, float* out1Re, float* out1Im, float* out2Re, float* out2Im,
                     const float* xRe, const float* xIm, const float* h1Re, const float* h1Im,
                     const float* h2Re, const float* h2Im) noexcept {
  ComplexProducts<false>(n, out1Re, out1Im, out2Re, out2Im, xRe, xIm, h1Re, h1Im, h2Re, h2Im);
}

void Scale(std::size_t n, float* buffer, float factor) noexcept {
  std::size_t i = 0;
#if defined(ORV_HAVE_SIMD4)
  if (IsAligned16(buffer)) {
    using namespace simd;
#if defined(ORV_HAVE_SIMD8)
    if (UseSimd8()) i = Scale8(n, buffer, factor);
#endif
    const Float4 f = Splat(factor);
    for (; i + 16 <= n; i += 16) {
      Store(buffer + i, Mul(Load(buffer + i), f));
      Store(buffer + i + 4, Mul(Load(buffer + i + 4), f));
      Store(buffer + i + 8, Mul(Load(buffer + i + 8), f));
      Store(buffer + i + 12, Mul(Load(buffer + i + 12), f));
    }
    for (; i + 4 <= n; i += 4) Store(buffer + i, Mul(Load(buffer + i), f));
  }
#endif
  for (; i < n; ++i) buffer[i] *= factor;
}

void Deinterleave(std::size_t n, float* even, float* odd, const float* in) noexcept {
  std::size_t k = 0;
#if defined(ORV_HAVE_SIMD4)
  if (n >= 4 && AllAligned(even, odd, in)) {
    using namespace simd;
#if defined(ORV_HAVE_SIMD8)
    if (UseSimd8()) k = DeinterleaveBody8(n, even, odd, in);
#endif
    for (; k + 4 <= n; k += 4) {
      const Float4 lo = Load(in + 2 * k), hi = Load(in + 2 * k + 4);
      Store(even + k, Shuffle<0, 2, 0, 2>(lo, hi));
      Store(odd + k, Shuffle<1, 3, 1, 3>(lo, hi));
    }
  }
#endif
  for (; k < n; ++k) {
    even[k] = in[2 * k];
    odd[k] = in[2 * k + 1];
  }
}

void Interleave(std::size_t n, float* out, const float* even, const float* odd) noexcept {
  std::size_t k = 0;
#if defined(ORV_HAVE_SIMD4)
  if (n >= 4 && AllAligned(out, even, odd)) {
    using namespace simd;
#if defined(ORV_HAVE_SIMD8)
    if (UseSimd8()) k = InterleaveBody8(n, out, even, odd);
#endif
    for (; k + 4 <= n; k += 4) {
      const Float4 e = Load(even + k), o = Load(odd + k);
      Store(out + 2 * k, InterleaveLow(e, o));
      Store(out + 2 * k + 4, InterleaveHigh(e, o));
    }
  }
#endif
  for (; k < n; ++k) {
    out[2 * k] = even[k];
    out[2 * k + 1] = odd[k];
  }
}

namespace {

// One bin pair from its factor; shared by every path of both forms, so the
// vector paths differ from it only in the order of lanes.
inline void UntangleBinFromTable(std::size_t n, std::size_t k, float* outRe, float* outIm,
                                 const float* zRe, const float* zIm, float tr, float ti,
                                 float scale) noexcept {
  const float ar = zRe[k] + zRe[n - k], ai = zIm[k] - zIm[n - k];
  const float br = zRe[k] - zRe[n - k], bi = zIm[k] + zIm[n - k];
  const float tbr = tr * br - ti * bi, tbi = tr * bi + ti * br;
  outRe[k] = scale * (ar + tbr);
  outIm[k] = scale * (ai + tbi);
  outRe[n - k] = scale * (ar - tbr);
  outIm[n - k] = scale * (tbi - ai);
}

#if defined(ORV_HAVE_SIMD8)
// Bins k .. k + 7 and, lanes reversed, n-k .. n-k-7, for k = 1, 9, .. while
// they stay at or below n/2; returns the first bin left over.
ORV_TARGET_SIMD8 std::size_t UntangleFromTable8(std::size_t n, float* outRe, float* outIm,
                                                const float* zRe, const float* zIm,
                                                const float* tRe, const float* tIm,
                                                float scale) noexcept {
  using namespace simd;
  const std::size_t half = n / 2;
  const Float8 factor = Splat8(scale);
  std::size_t k = 1;
  for (; k + 7 <= half; k += 8) {
    const Float8 zr = LoadU8(zRe + k), zi = LoadU8(zIm + k);
    const Float8 mr = Reverse(LoadU8(zRe + n - k - 7)), mi = Reverse(LoadU8(zIm + n - k - 7));
    const Float8 tr = LoadU8(tRe + k - 1), ti = LoadU8(tIm + k - 1);
    const Float8 ar = Add(zr, mr), ai = Sub(zi, mi);
    const Float8 br = Sub(zr, mr), bi = Add(zi, mi);
    const Float8 tbr = MulSub(tr, br, Mul(ti, bi)), tbi = MulAdd(tr, bi, Mul(ti, br));
    StoreU8(outRe + k, Mul(factor, Add(ar, tbr)));
    StoreU8(outIm + k, Mul(factor, Add(ai, tbi)));
    // Stored second, so at k + 7 = n/2 this one stays, as in the scalar form.
    StoreU8(outRe + n - k - 7, Reverse(Mul(factor, Sub(ar, tbr))));
    StoreU8(outIm + n - k - 7, Reverse(Mul(factor, Sub(tbi, ai))));
  }
  return k;
}
#endif

}  // namespace

void UntangleSpectrum(std::size_t n, float* outRe, float* outIm, const float* zRe, const float* zIm,
                      const float* tRe, const float* tIm, float scale) noexcept {
  const std::size_t half = n / 2;
  std::size_t k = 1;
#if defined(ORV_HAVE_SIMD8)
  if (simd::ActiveLevel() >= simd::Level::kSimd8) {
    k = UntangleFromTable8(n, outRe, outIm, zRe, zIm, tRe, tIm, scale);
  }
#endif
#if defined(ORV_HAVE_SIMD4)
  if (simd::ActiveLevel() >= simd::Level::kSimd4) {
    using namespace simd;
    auto reverse = [](Float4 v) { return Shuffle<3, 2, 1, 0>(v, v); };
    const Float4 factor = Splat(scale);
    for (; k + 3 <= half; k += 4) {
      const Float4 zr = LoadU(zRe + k), zi = LoadU(zIm + k);
      const Float4 mr = reverse(LoadU(zRe + n - k - 3)), mi = reverse(LoadU(zIm + n - k - 3));
      const Float4 tr = LoadU(tRe + k - 1), ti = LoadU(tIm + k - 1);
      const Float4 ar = Add(zr, mr), ai = Sub(zi, mi);
      const Float4 br = Sub(zr, mr), bi = Add(zi, mi);
      const Float4 tbr = Sub(Mul(tr, br), Mul(ti, bi)), tbi = Add(Mul(tr, bi), Mul(ti, br));
      StoreU(outRe + k, Mul(factor, Add(ar, tbr)));
      StoreU(outIm + k, Mul(factor, Add(ai, tbi)));
      StoreU(outRe + n - k - 3, reverse(Mul(factor, Sub(ar, tbr))));
      StoreU(outIm + n - k - 3, reverse(Mul(factor, Sub(tbi, ai))));
    }
  }
#endif
  for (; k <= half; ++k) {
    UntangleBinFromTable(n, k, outRe, outIm, zRe, zIm, tRe[k - 1], tIm[k - 1], scale);
  }
}

namespace {

constexpr std::size_t kChains = 4;

}  // namespace

void UntangleSpectrum(std::size_t n, float* outRe, float* outIm, const float* zRe, const float* zIm,
                      std::complex<float> first, std::complex<float> step, float scale) noexcept {
  // Chain j starts at t_(1+j) and advances by step^4.
  alignas(16) float tRe[kChains];
  alignas(16) float tIm[kChains];
  tRe[0] = first.real();
  tIm[0] = first.imag();
  for (std::size_t j = 1; j < kChains; ++j) {
    tRe[j] = tRe[j - 1] * step.real() - tIm[j - 1] * step.imag();
    tIm[j] = tRe[j - 1] * step.imag() + tIm[j - 1] * step.real();
  }
  const std::complex<float> step2 = step * step;
  const std::complex<float> step4 = step2 * step2;
  const float s4r = step4.real(), s4i = step4.imag();
  const std::size_t half = n / 2;
  std::size_t k = 1;
#if defined(ORV_HAVE_SIMD4)
  if (n >= 8 && AllAligned(outRe, outIm, zRe, zIm)) {
    using namespace simd;
    // Lanes are bins k .. k + 3 and, reversed, bins n-k .. n-k-3: loaded
    // from n-k-3 on and turned around. n/2 is a multiple of 4, so the
    // chains end exactly at n/2.
    auto reverse = [](Float4 v) { return Shuffle<3, 2, 1, 0>(v, v); };
    Float4 tr = Load(tRe), ti = Load(tIm);
    const Float4 stepRe = Splat(s4r), stepIm = Splat(s4i), factor = Splat(scale);
    for (; k + 3 <= half; k += 4) {
      const Float4 zr = LoadU(zRe + k), zi = LoadU(zIm + k);
      const Float4 mr = reverse(LoadU(zRe + n - k - 3)), mi = reverse(LoadU(zIm + n - k - 3));
      const Float4 ar = Add(zr, mr), ai = Sub(zi, mi);
      const Float4 br = Sub(zr, mr), bi = Add(zi, mi);
      const Float4 tbr = Sub(Mul(tr, br), Mul(ti, bi)), tbi = Add(Mul(tr, bi), Mul(ti, br));
      StoreU(outRe + k, Mul(factor, Add(ar, tbr)));
      StoreU(outIm + k, Mul(factor, Add(ai, tbi)));
      StoreU(outRe + n - k - 3, reverse(Mul(factor, Sub(ar, tbr))));
      StoreU(outIm + n - k - 3, reverse(Mul(factor, Sub(tbi, ai))));
      const Float4 nextRe = Sub(Mul(tr, stepRe), Mul(ti, stepIm));
      ti = Add(Mul(tr, stepIm), Mul(ti, stepRe));
      tr = nextRe;
    }
    Store(tRe, tr);
    Store(tIm, ti);
  }
#endif
  for (; k + 3 <= half; k += 4) {
    for (std::size_t j = 0; j < kChains; ++j) {
      UntangleBinFromTable(n, k + j, outRe, outIm, zRe, zIm, tRe[j], tIm[j], scale);
      const float nextRe = tRe[j] * s4r - tIm[j] * s4i;
      tIm[j] = tRe[j] * s4i + tIm[j] * s4r;
      tRe[j] = nextRe;
    }
  }
  for (std::size_t j = 0; k <= half; ++k, ++j) {
    UntangleBinFromTable(n, k, outRe, outIm, zRe, zIm, tRe[j], tIm[j], scale);
  }
}

void ComplexMultiplyAccumulate(std::size_t n, float* acc1Re, float* acc1Im, float* acc2Re,
                               float* acc2Im, const float* xRe, const float* xIm, const float* h1Re,
                               const float* h1Im, const float* h2Re, const float* h2Im) noexcept {
  ComplexProducts<true>(n, acc1Re, acc1Im, acc2Re, acc2Im, xRe, xIm, h1Re, h1Im, h2Re, h2Im);
}

float CopyFinite(std::size_t n, float* dst, const float* src) noexcept {
  constexpr float kLargest = std::numeric_limits<float>::max();
  std::size_t i = 0;
  float peak = 0.0f;
#if defined(ORV_HAVE_SIMD4)
  {
    using namespace simd;
    const Float4 limit = Splat(kLargest);
    Float4 peaks = Splat(0.0f);
    for (; i + 4 <= n; i += 4) {
      const Float4 x = LoadU(src + i);
      const Float4 v = KeepIfAtMost(x, Abs(x), limit);
      StoreU(dst + i, v);
      peaks = Max(peaks, Abs(v));
    }
    peak = HorizontalMax(peaks);
  }
#endif
  for (; i < n; ++i) {
    const float x = src[i];
    // NaN fails the comparison, infinity exceeds it.
    const float v = std::fabs(x) <= kLargest ? x : 0.0f;
    dst[i] = v;
    peak = std::max(peak, std::fabs(v));
  }
  return peak;
}

}  // namespace orv
