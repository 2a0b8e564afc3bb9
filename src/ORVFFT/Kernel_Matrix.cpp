// Instantiates the matrix kernels for 4 lanes (SSE) and, compiled for AVX2
// and FMA only in their own region, 8 lanes.
#include "ORVFFT/Kernel_Matrix.h"

#include "common/OrvSimd.h"

namespace orvfft::kernel {

#if defined(ORV_HAVE_SIMD4)
namespace lanes4 {

struct Lanes {
  using V = orv::simd::Float4;
  static constexpr int kWidth = 4;
  static V Load(const float* p) noexcept { return orv::simd::Load(p); }
  static V LoadU(const float* p) noexcept { return orv::simd::LoadU(p); }
  static void Store(float* p, V v) noexcept { orv::simd::Store(p, v); }
  static void StoreU(float* p, V v) noexcept { orv::simd::StoreU(p, v); }
  static V Splat(float x) noexcept { return orv::simd::Splat(x); }
  static V Zero() noexcept { return orv::simd::Splat(0.0f); }
  static V Add(V a, V b) noexcept { return orv::simd::Add(a, b); }
  static V Sub(V a, V b) noexcept { return orv::simd::Sub(a, b); }
  static V Mul(V a, V b) noexcept { return orv::simd::Mul(a, b); }
  // No fused operation at this level: two roundings.
  static V MulAdd(V a, V b, V c) noexcept { return Add(Mul(a, b), c); }
  static V MulSub(V a, V b, V c) noexcept { return Sub(Mul(a, b), c); }
  static void LoadInterleaved(const float* p, V& even, V& odd) noexcept {
    const V lo = LoadU(p), hi = LoadU(p + 4);
    even = orv::simd::Shuffle<0, 2, 0, 2>(lo, hi);
    odd = orv::simd::Shuffle<1, 3, 1, 3>(lo, hi);
  }
  static void Transpose(V* r) noexcept { orv::simd::Transpose4(r[0], r[1], r[2], r[3]); }
};

#include "ORVFFT/Kernel_Matrix.inl"

}  // namespace lanes4
#endif  // ORV_HAVE_SIMD4

#if defined(ORV_HAVE_SIMD8)
ORV_SIMD8_BEGIN
namespace lanes8 {

struct Lanes {
  using V = orv::simd::Float8;
  static constexpr int kWidth = 8;
  static V Load(const float* p) noexcept { return orv::simd::Load8(p); }
  static V LoadU(const float* p) noexcept { return orv::simd::LoadU8(p); }
  static void Store(float* p, V v) noexcept { orv::simd::Store8(p, v); }
  static void StoreU(float* p, V v) noexcept { orv::simd::StoreU8(p, v); }
  static V Splat(float x) noexcept { return orv::simd::Splat8(x); }
  static V Zero() noexcept { return orv::simd::Splat8(0.0f); }
  static V Add(V a, V b) noexcept { return orv::simd::Add(a, b); }
  static V Sub(V a, V b) noexcept { return orv::simd::Sub(a, b); }
  static V Mul(V a, V b) noexcept { return orv::simd::Mul(a, b); }
  static V MulAdd(V a, V b, V c) noexcept { return orv::simd::MulAdd(a, b, c); }
  static V MulSub(V a, V b, V c) noexcept { return orv::simd::MulSub(a, b, c); }
  static void LoadInterleaved(const float* p, V& even, V& odd) noexcept {
    orv::simd::Deinterleave8(LoadU(p), LoadU(p + 8), even, odd);
  }
  static void Transpose(V* r) noexcept { orv::simd::Transpose8(r); }
};

#include "ORVFFT/Kernel_Matrix.inl"

}  // namespace lanes8
ORV_SIMD8_END
#endif  // ORV_HAVE_SIMD8

namespace {

template <int N1, int N2, typename Kernels>
MatrixKernel Make() noexcept {
  MatrixKernel k;
  k.rows = N1;
  k.columns = N2;
  k.split = Kernels::template Split<N1, N2>;
  k.interleaved = Kernels::template Interleaved<N1, N2>;
  return k;
}

#if defined(ORV_HAVE_SIMD4)
struct Kernels4 {
  template <int N1, int N2>
  static constexpr MatrixSplitKernel Split = &lanes4::SplitTransform<N1, N2>;
  template <int N1, int N2>
  static constexpr MatrixInterleavedKernel Interleaved = &lanes4::InterleavedTransform<N1, N2>;
};
#endif
#if defined(ORV_HAVE_SIMD8)
struct Kernels8 {
  template <int N1, int N2>
  static constexpr MatrixSplitKernel Split = &lanes8::SplitTransform<N1, N2>;
  template <int N1, int N2>
  static constexpr MatrixInterleavedKernel Interleaved = &lanes8::InterleavedTransform<N1, N2>;
};
#endif

}  // namespace

MatrixKernel FindMatrixKernel(cpu::FeatureLevel level, std::size_t n) noexcept {
  static_cast<void>(n);  // read only where a vector level is built
  switch (level) {
#if defined(ORV_HAVE_SIMD8)
    case cpu::kFeatureLevelSimd8:
      switch (n) {
        case 64: return Make<8, 8, Kernels8>();
        case 128: return Make<16, 8, Kernels8>();
        case 256: return Make<16, 16, Kernels8>();
        case 512: return Make<32, 16, Kernels8>();
        case 1024: return Make<32, 32, Kernels8>();
        default: return {};
      }
#endif
#if defined(ORV_HAVE_SIMD4)
    case cpu::kFeatureLevelSimd4:
      switch (n) {
        case 16: return Make<4, 4, Kernels4>();
        case 32: return Make<8, 4, Kernels4>();
        case 64: return Make<8, 8, Kernels4>();
        case 128: return Make<16, 8, Kernels4>();
        case 256: return Make<16, 16, Kernels4>();
        case 512: return Make<32, 16, Kernels4>();
        case 1024: return Make<32, 32, Kernels4>();
        default: return {};
      }
#endif
    default: return {};
  }
}

}  // namespace orvfft::kernel
