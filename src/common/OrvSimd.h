// The library's one door to vector instructions: 4-wide single precision
// (SSE, part of every x86-64) and 8-wide with fused multiply-add (AVX2 + FMA),
// picked at run time. Only the vector kernels (dsp/OrvInternals_Vector) and
// the FFT's kernels (ORVFFT/Kernel_*) include it; everything else stays
// scalar. Each of those has a scalar path beside its vector ones, so the
// library also builds and runs where ORV_HAVE_SIMD4 is not defined.
//
// The build stays portable x86-64; 8-wide code is compiled per function with
// the compiler's target attribute (ORV_TARGET_SIMD8, or a whole region between
// ORV_SIMD8_BEGIN and ORV_SIMD8_END) and runs only when ActiveLevel() says the
// processor has it. Target attributes rather than a portable SIMD library:
// no new dependency, the existing 4-wide kernels stay as they are, and the
// 8-wide code is a handful of kernels that name their operations here.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__SSE__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1)
#include <xmmintrin.h>
#define ORV_HAVE_SIMD4 1
#endif

#if defined(ORV_HAVE_SIMD4) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ORV_HAVE_SIMD8 1
#define ORV_TARGET_SIMD8 __attribute__((target("avx2,fma")))
#if defined(__clang__)
#define ORV_SIMD8_BEGIN \
  _Pragma("clang attribute push(__attribute__((target(\"avx2,fma\"))), apply_to = function)")
#define ORV_SIMD8_END _Pragma("clang attribute pop")
#else
#define ORV_SIMD8_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,fma\")")
#define ORV_SIMD8_END _Pragma("GCC pop_options")
#endif
#endif

namespace orv::simd {

// True when p may be used with the aligned loads and stores below.
inline bool IsAligned16(const void* p) noexcept {
  return (reinterpret_cast<std::uintptr_t>(p) & 15u) == 0;
}

// What the processor (and the build) can run, in increasing order.
enum class Level : int {
  kScalar = 0,  // no vector instructions
  kSimd4 = 1,   // 4-wide (SSE)
  kSimd8 = 2,   // 8-wide with fused multiply-add (AVX2 + FMA)
};

namespace detail {
inline Level Detect() noexcept {
#if defined(ORV_HAVE_SIMD8)
  __builtin_cpu_init();
  // The compiler's check includes the operating system's saving of the wide
  // registers.
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return Level::kSimd8;
#endif
#if defined(ORV_HAVE_SIMD4)
  return Level::kSimd4;
#else
  return Level::kScalar;
#endif
}
// Tests lower this to run the narrower paths on a wide processor.
inline std::atomic<int> levelLimit{static_cast<int>(Level::kSimd8)};
}  // namespace detail

// One step of a busy wait: tells the processor that the loop spins, which
// saves power and yields to a sibling hardware thread.
inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

inline Level DetectedLevel() noexcept {
  static const Level level = detail::Detect();
  return level;
}

// The level kernels use: the detected one, or lower under a test's limit.
inline Level ActiveLevel() noexcept {
  const int limit = detail::levelLimit.load(std::memory_order_relaxed);
  const int detected = static_cast<int>(DetectedLevel());
  return static_cast<Level>(detected < limit ? detected : limit);
}

// For tests only: caps ActiveLevel() (kSimd8 lifts the cap). FFT plans keep
// the level they were created with; the array kernels read it on every call.
inline void LimitLevelForTesting(Level limit) noexcept {
  detail::levelLimit.store(static_cast<int>(limit), std::memory_order_relaxed);
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
// value where magnitude <= limit, else 0 (also where magnitude is NaN).
inline Float4 KeepIfAtMost(Float4 value, Float4 magnitude, Float4 limit) noexcept {
  return _mm_and_ps(value, _mm_cmple_ps(magnitude, limit));
}
inline float HorizontalMax(Float4 v) noexcept {
  v = _mm_max_ps(v, _mm_movehl_ps(v, v));
  v = _mm_max_ss(v, _mm_shuffle_ps(v, v, 1));
  return _mm_cvtss_f32(v);
}

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

#if defined(ORV_HAVE_SIMD8)

// 8-wide operations: call them only from ORV_TARGET_SIMD8 code, and that
// only when ActiveLevel() is kSimd8.
using Float8 = __m256;

#define ORV_SIMD8_INLINE ORV_TARGET_SIMD8 inline __attribute__((always_inline))
ORV_SIMD8_INLINE Float8 Load8(const float* p) noexcept { return _mm256_load_ps(p); }
ORV_SIMD8_INLINE Float8 LoadU8(const float* p) noexcept { return _mm256_loadu_ps(p); }
ORV_SIMD8_INLINE void Store8(float* p, Float8 v) noexcept { _mm256_store_ps(p, v); }
ORV_SIMD8_INLINE void StoreU8(float* p, Float8 v) noexcept { _mm256_storeu_ps(p, v); }
ORV_SIMD8_INLINE Float8 Splat8(float x) noexcept { return _mm256_set1_ps(x); }
ORV_SIMD8_INLINE Float8 Add(Float8 a, Float8 b) noexcept { return _mm256_add_ps(a, b); }
ORV_SIMD8_INLINE Float8 Sub(Float8 a, Float8 b) noexcept { return _mm256_sub_ps(a, b); }
ORV_SIMD8_INLINE Float8 Mul(Float8 a, Float8 b) noexcept { return _mm256_mul_ps(a, b); }
// a·b + c and a·b - c, each rounded once.
ORV_SIMD8_INLINE Float8 MulAdd(Float8 a, Float8 b, Float8 c) noexcept {
  return _mm256_fmadd_ps(a, b, c);
}
ORV_SIMD8_INLINE Float8 MulSub(Float8 a, Float8 b, Float8 c) noexcept {
  return _mm256_fmsub_ps(a, b, c);
}
// Lanes in reverse order.
ORV_SIMD8_INLINE Float8 Reverse(Float8 v) noexcept {
  return _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
}
// {in[0], in[2], .. in[14]} and {in[1], in[3], .. in[15]} from 16 floats.
ORV_SIMD8_INLINE void Deinterleave8(Float8 lo, Float8 hi, Float8& even, Float8& odd) noexcept {
  // Within 128-bit halves first, then the 64-bit pieces into order.
  const Float8 e = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
  const Float8 o = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
  even = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(e), _MM_SHUFFLE(3, 1, 2, 0)));
  odd = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(o), _MM_SHUFFLE(3, 1, 2, 0)));
}
// The inverse: 16 floats from {even[0], odd[0], even[1], ..}.
ORV_SIMD8_INLINE void Interleave8(Float8 even, Float8 odd, Float8& lo, Float8& hi) noexcept {
  const Float8 a = _mm256_unpacklo_ps(even, odd);  // e0 o0 e1 o1 | e4 o4 e5 o5
  const Float8 b = _mm256_unpackhi_ps(even, odd);  // e2 o2 e3 o3 | e6 o6 e7 o7
  lo = _mm256_permute2f128_ps(a, b, 0x20);
  hi = _mm256_permute2f128_ps(a, b, 0x31);
}
// Rows r[0..7] become columns.
ORV_SIMD8_INLINE void Transpose8(Float8* r) noexcept {
  const Float8 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const Float8 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const Float8 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const Float8 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const Float8 s0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  const Float8 s1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  const Float8 s2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  const Float8 s3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  const Float8 s4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  const Float8 s5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  const Float8 s6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  const Float8 s7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}
#undef ORV_SIMD8_INLINE

#endif  // ORV_HAVE_SIMD8

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
inline void StorePair(float* p, Float4 v) noexcept {
  _mm_storel_pi(reinterpret_cast<__m64*>(p), v);
}
#endif

}  // namespace orv::simd
// ==== End of the room section =================================================
