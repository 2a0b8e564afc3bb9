// The library's one door to 4-wide single-precision vector instructions.
// Only the vector kernels (dsp/OrvInternals_Vector) and the FFT's vector
// kernel (ORVFFT/Kernel_SimdX86) include it; everything else stays scalar.
// Each of those has a scalar path beside its vector one, so the library also
// builds and runs where ORV_HAVE_SIMD4 is not defined.
#pragma once

#include <cstdint>

#if defined(__SSE__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1)
#include <xmmintrin.h>
#define ORV_HAVE_SIMD4 1
#endif

namespace orv::simd {

// True when p may be used with the aligned loads and stores below.
inline bool IsAligned16(const void* p) noexcept {
  return (reinterpret_cast<std::uintptr_t>(p) & 15u) == 0;
}

#if defined(ORV_HAVE_SIMD4)

using Float4 = __m128;

// Load/Store need 16-byte aligned addresses; LoadU/StoreU take any address.
inline Float4 Load(const float* p) noexcept { return _mm_load_ps(p); }
inline Float4 LoadU(const float* p) noexcept { return _mm_loadu_ps(p); }
inline void Store(float* p, Float4 v) noexcept { _mm_store_ps(p, v); }
inline void StoreU(float* p, Float4 v) noexcept { _mm_storeu_ps(p, v); }

// Aligned or unaligned access chosen at compile time.
template <bool isAligned>
inline Float4 LoadAs(const float* p) noexcept {
  if constexpr (isAligned)
    return Load(p);
  else
    return LoadU(p);
}
template <bool isAligned>
inline void StoreAs(float* p, Float4 v) noexcept {
  if constexpr (isAligned)
    Store(p, v);
  else
    StoreU(p, v);
}

inline Float4 Splat(float x) noexcept { return _mm_set1_ps(x); }
inline Float4 Add(Float4 a, Float4 b) noexcept { return _mm_add_ps(a, b); }
inline Float4 Sub(Float4 a, Float4 b) noexcept { return _mm_sub_ps(a, b); }
inline Float4 Mul(Float4 a, Float4 b) noexcept { return _mm_mul_ps(a, b); }

// Lanes {a[i0], a[i1], b[i2], b[i3]}.
template <int i0, int i1, int i2, int i3>
inline Float4 Shuffle(Float4 a, Float4 b) noexcept {
  return _mm_shuffle_ps(a, b, _MM_SHUFFLE(i3, i2, i1, i0));
}
// {a0, b0, a1, b1} and {a2, b2, a3, b3}.
inline Float4 InterleaveLow(Float4 a, Float4 b) noexcept { return _mm_unpacklo_ps(a, b); }
inline Float4 InterleaveHigh(Float4 a, Float4 b) noexcept { return _mm_unpackhi_ps(a, b); }
// Rows become columns.
inline void Transpose4(Float4& r0, Float4& r1, Float4& r2, Float4& r3) noexcept {
  _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
}

#endif  // ORV_HAVE_SIMD4

}  // namespace orv::simd

// ==== Room section: subnormal flush and the reverb's bit helpers ==============
// Owned by the room (src/room, dsp/OrvReverb); kept at the end of this file.

#if defined(ORV_HAVE_SIMD4)
#include <xmmintrin.h>
#endif

// Complete unrolling of a kernel's small fixed loops, so that their arrays of
// vectors live in registers (GCC at -O2 keeps such loops rolled).
#if defined(__GNUC__)
#define ORV_SIMD_UNROLL _Pragma("GCC unroll 16")
#else
#define ORV_SIMD_UNROLL
#endif

namespace orv::simd {

// A dying tail ends in subnormal numbers, and recirculating states never
// leave that range: a one-pole step y -= y·k rounds to no change there, so a
// few units in the last place of a subnormal would stay forever, and every
// silent block would then compute with subnormals (slow on most processors).
// Flushing them to zero while a stage runs changes nothing above 1e-38 and
// lets tails end in exact zeros, which the room detects and skips. The
// caller's floating-point mode is restored on leaving the scope. x86: MXCSR
// flush-to-zero and denormals-are-zero; ARM64: FPCR.FZ; elsewhere a no-op.
class ScopedFlushSubnormals {
 public:
#if defined(ORV_HAVE_SIMD4)
  static constexpr unsigned kFlags = 0x8040u;  // MXCSR bit 15 (FTZ) and bit 6 (DAZ)
  ScopedFlushSubnormals() noexcept : saved(_mm_getcsr()) { _mm_setcsr(saved | kFlags); }
  ~ScopedFlushSubnormals() { _mm_setcsr(saved); }

 private:
  unsigned saved;
#elif defined(__aarch64__)
  static constexpr std::uint64_t kFlushToZero = 1ull << 24;  // FPCR.FZ
  ScopedFlushSubnormals() noexcept {
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(saved));
    __asm__ __volatile__("msr fpcr, %0" : : "r"(saved | kFlushToZero));
  }
  ~ScopedFlushSubnormals() { __asm__ __volatile__("msr fpcr, %0" : : "r"(saved)); }

 private:
  std::uint64_t saved;
#else
  ScopedFlushSubnormals() noexcept {}
#endif
 public:
  ScopedFlushSubnormals(const ScopedFlushSubnormals&) = delete;
  ScopedFlushSubnormals& operator=(const ScopedFlushSubnormals&) = delete;
};

#if defined(ORV_HAVE_SIMD4)
inline Float4 Zero() noexcept { return _mm_setzero_ps(); }
// |v|: the sign bits cleared.
inline Float4 Abs(Float4 v) noexcept { return _mm_andnot_ps(_mm_set1_ps(-0.0f), v); }
// Lane-wise maximum; where either lane is NaN the result is b's lane.
inline Float4 Max(Float4 a, Float4 b) noexcept { return _mm_max_ps(a, b); }
// True when some lane of v is above the same lane of limit, or NaN.
inline bool AnyAbove(Float4 v, Float4 limit) noexcept {
  return _mm_movemask_ps(_mm_cmpnle_ps(v, limit)) != 0;
}
// All-ones lanes 0 and 1 where lowPair holds, lanes 2 and 3 where highPair.
inline Float4 PairMask(bool lowPair, bool highPair) noexcept {
  const float lo = lowPair ? 1.0f : 0.0f;
  const float hi = highPair ? 1.0f : 0.0f;
  return _mm_cmpgt_ps(_mm_setr_ps(lo, lo, hi, hi), _mm_setzero_ps());
}
// a where mask is all ones, b where it is zero.
inline Float4 Select(Float4 mask, Float4 a, Float4 b) noexcept {
  return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}
// True when some lane is NaN.
inline bool AnyNaN(Float4 v) noexcept { return _mm_movemask_ps(_mm_cmpunord_ps(v, v)) != 0; }
// Two floats at p (any alignment) into lanes 0 and 1, lanes 2 and 3 zero;
// and lanes 0 and 1 back (64-bit moves; __m64 may alias floats).
inline Float4 LoadPair(const float* p) noexcept {
  return _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p));
}
inline void StorePair(float* p, Float4 v) noexcept { _mm_storel_pi(reinterpret_cast<__m64*>(p), v); }
#endif

}  // namespace orv::simd
// ==== End of the room section =================================================
