#include "dsp/OrvInternals_Vector.h"

#include "common/OrvSimd.h"

namespace orv {
namespace {

using simd::IsAligned16;

template <typename... Pointers>
bool AllAligned(const Pointers*... p) noexcept {
  return (IsAligned16(p) && ...);
}

}  // namespace

void Accumulate(std::size_t n, float* dst, const float* a) noexcept {
  std::size_t i = 0;
#if defined(ORV_HAVE_SIMD4)
  if (n >= 4 && AllAligned(dst, a)) {
    for (; i + 4 <= n; i += 4) simd::Store(dst + i, simd::Add(simd::Load(dst + i), simd::Load(a + i)));
  }
#endif
  for (; i < n; ++i) dst[i] += a[i];
}

void Accumulate(std::size_t n, float* dst, const float* a, const float* b) noexcept {
#if defined(ORV_HAVE_SIMD4)
  if (n >= 4 && AllAligned(dst, a, b)) {
    std::size_t i = 0;
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

void Accumulate(std::size_t n, float* dst, const float* a, const float* b, const float* c) noexcept {
#if defined(ORV_HAVE_SIMD4)
  if (n >= 4 && AllAligned(dst, a, b, c)) {
    std::size_t i = 0;
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

void ComplexMultiply(std::size_t n, float* out1Re, float* out1Im, float* out2Re, float* out2Im,
                     const float* xRe, const float* xIm, const float* h1Re, const float* h1Im,
                     const float* h2Re, const float* h2Im) noexcept {
  std::size_t i = 0;
#if defined(ORV_HAVE_SIMD4)
  if (n >= 4 && AllAligned(out1Re, out1Im, out2Re, out2Im, xRe, xIm, h1Re, h1Im, h2Re, h2Im)) {
    using namespace simd;
    for (; i + 4 <= n; i += 4) {
      // x is read completely before out1, which may be x, is written.
      const Float4 xr = Load(xRe + i), xi = Load(xIm + i);
      const Float4 ar = Load(h1Re + i), ai = Load(h1Im + i);
      const Float4 br = Load(h2Re + i), bi = Load(h2Im + i);
      Store(out1Re + i, Sub(Mul(xr, ar), Mul(xi, ai)));
      Store(out1Im + i, Add(Mul(xr, ai), Mul(xi, ar)));
      Store(out2Re + i, Sub(Mul(xr, br), Mul(xi, bi)));
      Store(out2Im + i, Add(Mul(xr, bi), Mul(xi, br)));
    }
  }
#endif
  for (; i < n; ++i) {
    const float xr = xRe[i], xi = xIm[i];
    const float ar = h1Re[i], ai = h1Im[i];
    const float br = h2Re[i], bi = h2Im[i];
    out1Re[i] = xr * ar - xi * ai;
    out1Im[i] = xr * ai + xi * ar;
    out2Re[i] = xr * br - xi * bi;
    out2Im[i] = xr * bi + xi * br;
  }
}

void Scale(std::size_t n, float* buffer, float factor) noexcept {
  std::size_t i = 0;
#if defined(ORV_HAVE_SIMD4)
  if (IsAligned16(buffer)) {
    using namespace simd;
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

}  // namespace orv
