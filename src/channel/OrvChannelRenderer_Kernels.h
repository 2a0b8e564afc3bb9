// Span kernels of the voice path (the samplers' run readers sit beside the
// samplers): loops over the n samples of one span, each
// written as groups of four independent steps over pointers that do not
// alias. That is the shape g++ -O2 turns into 4-wide vector instructions
// without intrinsics (its straight-line vectoriser is on at -O2, its loop
// vectoriser nearly off); elsewhere the same code runs scalar and gives the
// same results, as the operations are the same. All ORV_REALTIME.
#pragma once

#include <array>
#include <cmath>

// Pointers so marked reach no memory that another pointer of the call reaches.
#define ORV_RESTRICT __restrict
// Kernels stay calls of their own (one per span, so the call costs nothing):
// inlined, g++ may lose the promise of ORV_RESTRICT and leave a loop scalar.
#define ORV_KERNEL [[gnu::noinline]]

namespace orv {

// Frames a renderer reads and mixes at a time: its span buffers live on the
// stack (a stereo span is 2 KiB). A multiple of four.
inline constexpr int kSpan = 256;

// body(k) for k = 0 .. n - 1, in groups of four, then the rest one by one.
template <class Body>
[[gnu::always_inline]] inline void ForEachInFours(int n, const Body& body) noexcept {
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    for (int i = 0; i < 4; ++i) body(k + i);
  }
  for (; k < n; ++k) body(k);
}

// --- Cursor runs -------------------------------------------------------------

// The cursors of a run, relative to its first whole frame: r0 + k * delta
// for k < n, each split into its frame (rounded down) and the float of its
// fraction, as GetSample splits a cursor. Exact when the run's maker
// vouches that every r0 + k * delta is (see RendererBase::PlainRun) and
// they stay below 2^31.
ORV_KERNEL inline void SplitRunCursors(int n, double r0, double delta, int* ORV_RESTRICT frame,
                                       float* ORV_RESTRICT fraction) noexcept {
  ForEachInFours(n, [&](int k) {
    const double cursor = r0 + static_cast<double>(k) * delta;
    const int j = static_cast<int>(cursor);
    frame[k] = j;
    fraction[k] = static_cast<float>(cursor - static_cast<double>(j));
  });
}

// --- Gains ---------------------------------------------------------------------

// The gain glide of spatialized voices: a fraction kGlideRate of the remaining
// gap per sample, g += (target - g) * rate, which after k samples leaves
// (1 - rate)^k of the gap. kGlide[k] holds that factor, so a span computes
// each sample's gain on its own instead of as a chain.
inline constexpr float kGlideRate = 0.1f;
inline constexpr std::array<float, kSpan + 1> kGlide = [] {
  std::array<float, kSpan + 1> factors{};
  double f = 1.0;
  for (float& factor : factors) {
    factor = static_cast<float>(f);
    f *= 1.0 - static_cast<double>(kGlideRate);
  }
  return factors;
}();

// One smoothed gain over a span of n <= kSpan samples: gain k is target +
// gap * kGlide[k], the closed form of the per-sample glide (equal within
// rounding; a steady gain is exact).
struct GlidingGain {
  float value;  // gain at the span's first sample
  float target;

  bool IsSteady() const noexcept { return value == target; }
  float At(int k) const noexcept { return target + (value - target) * kGlide[k]; }
  // Moves value n samples on. A gap that has decayed below any audible
  // size is closed: a target of 0 would otherwise be approached through
  // subnormal numbers.
  void Advance(int n) noexcept {
    value = At(n);
    if (std::fabs(value - target) < 1e-20f) value = target;
  }
};

// s[k] *= max(g - k * step, 0): a linear fade over a span, in place.
ORV_KERNEL inline void FadeInPlace(int n, float* ORV_RESTRICT s, float g, float step) noexcept {
  ForEachInFours(n, [&](int k) { s[k] *= std::fmax(g - static_cast<float>(k) * step, 0.0f); });
}

// --- Mixing --------------------------------------------------------------------

// dst[k] += g * s[k].
ORV_KERNEL inline void AddScaled(int n, const float* ORV_RESTRICT s, float g,
                                 float* ORV_RESTRICT dst) noexcept {
  ForEachInFours(n, [&](int k) { dst[k] += g * s[k]; });
}

// dst[k] += gain k * s[k].
ORV_KERNEL inline void AddGliding(int n, const float* ORV_RESTRICT s, GlidingGain g,
                                  float* ORV_RESTRICT dst) noexcept {
  ForEachInFours(n, [&](int k) { dst[k] += g.At(k) * s[k]; });
}

// out[k] and dry[k] += g * s[k].
ORV_KERNEL inline void MixSource(int n, const float* ORV_RESTRICT s, float g,
                                 float* ORV_RESTRICT out, float* ORV_RESTRICT dry) noexcept {
  ForEachInFours(n, [&](int k) {
    const float v = g * s[k];
    out[k] += v;
    dry[k] += v;
  });
}

// out[k] and dry[k] += gain k * s[k].
ORV_KERNEL inline void MixSourceGliding(int n, const float* ORV_RESTRICT s, GlidingGain g,
                                        float* ORV_RESTRICT out, float* ORV_RESTRICT dry) noexcept {
  ForEachInFours(n, [&](int k) {
    const float v = g.At(k) * s[k];
    out[k] += v;
    dry[k] += v;
  });
}

// s[k] *= gain k.
ORV_KERNEL inline void ScaleGliding(int n, float* ORV_RESTRICT s, GlidingGain g) noexcept {
  ForEachInFours(n, [&](int k) { s[k] *= g.At(k); });
}

// Interleaved stereo: mix[2k] and mix[2k + 1] += g * s[k].
ORV_KERNEL inline void AddScaledToBoth(int n, const float* ORV_RESTRICT s, float g,
                                       float* ORV_RESTRICT mix) noexcept {
  ForEachInFours(n, [&](int k) {
    mix[2 * k] += g * s[k];
    mix[2 * k + 1] += g * s[k];
  });
}

// Interleaved stereo: mix[2k] += g * left[k], mix[2k + 1] += g * right[k].
ORV_KERNEL inline void AddScaledPair(int n, const float* ORV_RESTRICT left,
                                     const float* ORV_RESTRICT right, float g,
                                     float* ORV_RESTRICT mix) noexcept {
  ForEachInFours(n, [&](int k) {
    mix[2 * k] += g * left[k];
    mix[2 * k + 1] += g * right[k];
  });
}

// dst[k] += (left[k] + right[k]) * gain k.
ORV_KERNEL inline void AddMidGliding(int n, const float* ORV_RESTRICT left,
                                     const float* ORV_RESTRICT right, GlidingGain g,
                                     float* ORV_RESTRICT dst) noexcept {
  ForEachInFours(n, [&](int k) { dst[k] += (left[k] + right[k]) * g.At(k); });
}

// dst[k] += (left[k] + right[k]) * g.
ORV_KERNEL inline void AddMid(int n, const float* ORV_RESTRICT left,
                              const float* ORV_RESTRICT right, float g,
                              float* ORV_RESTRICT dst) noexcept {
  ForEachInFours(n, [&](int k) { dst[k] += (left[k] + right[k]) * g; });
}

// The dry path's one-pole low-pass, y += (s - y) * c, over s in place. As
// y' = a y + c s (a = 1 - c), four samples at a time: y after i samples is
// a^i y + v_i, v_i the inputs filtered from zero, which do not wait for y.
// So the chain from one group to the next is one multiply and one add, not
// three operations per sample. Equal to the per-sample form within rounding:
// the filter damps each step's rounding by a.
inline void LowPassInPlace(int n, float* s, float c, float& state) noexcept {
  const float a = 1.0f - c, a2 = a * a, a3 = a2 * a, a4 = a2 * a2;
  float y = state;  // in a register: state might alias s
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    const float v1 = c * s[k];
    const float v2 = a * v1 + c * s[k + 1];
    const float v3 = a * v2 + c * s[k + 2];
    const float v4 = a * v3 + c * s[k + 3];
    s[k] = a * y + v1;
    s[k + 1] = a2 * y + v2;
    s[k + 2] = a3 * y + v3;
    y = a4 * y + v4;
    s[k + 3] = y;
  }
  for (; k < n; ++k) {
    y += (s[k] - y) * c;
    s[k] = y;
  }
  state = y;
}

}  // namespace orv
