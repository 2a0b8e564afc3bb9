// Small filters and delay lines the engine chains inside its render loop:
// biquads (peaking and band-pass designs; mono and stereo), a Schroeder
// all-pass with an integer delay and a run-time sized integer delay line.
// None of them locks; each object is used by one thread at a time. The
// per-sample steps are inline and noexcept: they run under Engine::Render
// (ORV_REALTIME: no allocation, no lock, no throw). Construction and the
// designs may allocate or call libm and belong outside the render loop.
#pragma once

#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#define ORV_UTILS_HAVE_SSE 1
#else
#define ORV_UTILS_HAVE_SSE 0
#endif

namespace orv {

// Second-order section y = (na2·y2 + na1·y1) + (b2·x2 + (b1·x1 + b0·x)).
// The coefficients are already divided by a0; na1, na2 are the negated
// feedback terms. A filter starts as a unit filter until a design sets it.
class BiquadFilter {
 public:
  // Peaking equaliser (Audio EQ Cookbook): gain is the linear amplitude at
  // frequency, q the quality factor. Overwrites the coefficients, keeps the
  // state, then calls Prepare(). Any arguments are accepted: frequency at or
  // above samplingRate / 2 gives a filter with a pole outside the unit circle,
  // so callers keep such bands out.
  void PeakingEQ(float samplingRate, float frequency, float gain, float q);
  // Band-pass with 0 dB at frequency (constant peak gain); b1 = 0, b2 = -b0.
  void BandpassFilter(float samplingRate, float frequency, float q);

  // Lets a derived filter react to new coefficients; the base does nothing.
  virtual void Prepare() {}

  float b0 = 1.0f;
  float b1 = 0.0f;
  float b2 = 0.0f;
  float na1 = 0.0f;
  float na2 = 0.0f;

 protected:
  // Never deleted through the base: no virtual destructor is needed.
  ~BiquadFilter() = default;
};

// One channel.
class SingleBiquadFilter final : public BiquadFilter {
 public:
  void Prepare() override {}

  // One sample in, one out. ORV_REALTIME.
  float Process(float x) noexcept {
    const float y = (na2 * y2 + na1 * y1) + (b2 * x2 + (b1 * x1 + b0 * x));
    y2 = y1;
    y1 = y;
    x2 = x1;
    x1 = x;
    return y;
  }

  // Clears the history, keeps the coefficients.
  void Mute() noexcept { x1 = x2 = y1 = y2 = 0.0f; }

  float x1 = 0.0f;
  float x2 = 0.0f;
  float y1 = 0.0f;
  float y2 = 0.0f;
};

// Two channels (left, right) sharing one set of coefficients. Two steps give
// identical results (same operations in the same order): a scalar one and a
// 2-wide SSE one. Process takes the scalar step: in the engine's chain of six
// bands the processor already overlaps the two channels and the successive
// frames, and moving the pairs in and out of vector registers cost more than
// it saved (about 11 ns against 12 ns per frame for six bands at 48 kHz).
class DualBiquadFilter final : public BiquadFilter {
 public:
  struct alignas(8) Pair {
    float left = 0.0f;
    float right = 0.0f;
  };

  // One stereo frame in place. ORV_REALTIME.
  void Process(float& left, float& right) noexcept { ProcessScalar(left, right); }

  void ProcessScalar(float& left, float& right) noexcept {
    const float yl = (na2 * y2.left + na1 * y1.left) + (b2 * x2.left + (b1 * x1.left + b0 * left));
    const float yr =
        (na2 * y2.right + na1 * y1.right) + (b2 * x2.right + (b1 * x1.right + b0 * right));
    y2 = y1;
    y1 = {yl, yr};
    x2 = x1;
    x1 = {left, right};
    left = yl;
    right = yr;
  }

#if ORV_UTILS_HAVE_SSE
  void ProcessVector(float& left, float& right) noexcept {
    const __m128 x = _mm_setr_ps(left, right, 0.0f, 0.0f);
    const __m128 vx1 = Load(x1);
    const __m128 vx2 = Load(x2);
    const __m128 vy1 = Load(y1);
    const __m128 vy2 = Load(y2);
    const __m128 feedback =
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(na2), vy2), _mm_mul_ps(_mm_set1_ps(na1), vy1));
    const __m128 feedforward =
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(b2), vx2),
                   _mm_add_ps(_mm_mul_ps(_mm_set1_ps(b1), vx1), _mm_mul_ps(_mm_set1_ps(b0), x)));
    const __m128 y = _mm_add_ps(feedback, feedforward);
    y2 = y1;
    Store(y1, y);
    x2 = x1;
    x1 = {left, right};
    left = _mm_cvtss_f32(y);
    right = _mm_cvtss_f32(_mm_shuffle_ps(y, y, _MM_SHUFFLE(1, 1, 1, 1)));
  }
#endif

  void Mute() noexcept { x1 = x2 = y1 = y2 = Pair{}; }

  Pair x1;
  Pair x2;
  Pair y1;
  Pair y2;

 private:
#if ORV_UTILS_HAVE_SSE
  // 64-bit moves of one pair into the low two lanes (__m64 may alias floats).
  static __m128 Load(const Pair& p) noexcept {
    return _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(&p));
  }
  static void Store(Pair& p, __m128 v) noexcept { _mm_storel_pi(reinterpret_cast<__m64*>(&p), v); }
#endif
};

// Schroeder all-pass H(z) = (g + z^-N) / (1 + g·z^-N) with an integer delay N.
class AllpassFilter1 {
 public:
  // delay N >= 1 samples; coef g, |g| < 1 for a stable filter.
  AllpassFilter1(int delay, float coef);

  // One sample in, one out. ORV_REALTIME.
  float Process(float x) noexcept {
    const float y = (x - outputHistory[position]) * coef + inputHistory[position];
    inputHistory[position] = x;
    outputHistory[position] = y;
    position = position + 1 == size ? 0 : position + 1;
    return y;
  }

  std::vector<float> inputHistory;
  std::vector<float> outputHistory;
  int size;
  int position = 0;
  float coef;
};

// Integer delay on a heap ring of run-time length. Write first, then read:
// a delay of d returns the input of d samples earlier (d = 0: this sample).
class ExactDelayLine {
 public:
  // Ring of floor(size) samples, delay floor(delay).
  ExactDelayLine(float delay, float size);

  // Rounds d down. A delay outside 0 .. size - 1 stops the process.
  void SetDelay(float d);
  void SetDelay(int d);

  // Writes x, returns the sample d steps back. ORV_REALTIME.
  float Process(float x) noexcept {
    buffer[position] = x;
    position = position + 1 == size ? 0 : position + 1;
    int i = position - delay;
    if (i < 0) i += size;  // delay <= size: one wrap is enough
    return buffer[i];
  }

  int GetDelay() const { return delay - 1; }
  int GetSize() const { return size; }

  std::vector<float> buffer;
  int position = 0;
  int size;
  int delay = 1;  // the requested delay plus one
};

}  // namespace orv
