// Small filters and delay lines the engine chains inside its render loop:
// biquads (peaking and band-pass designs; mono and stereo), a Schroeder
// all-pass with an integer delay and a run-time sized integer delay line.
// None of them locks; each object is used by one thread at a time. The
// per-sample steps are inline and noexcept, and the all-pass and the delay
// line also take whole blocks, with the same results: they run under
// Engine::Render (ORV_REALTIME: no allocation, no lock, no throw).
// Construction and the designs may allocate or call libm and belong outside
// the render loop.
#pragma once

#include <vector>

#include "common/OrvSimd.h"

namespace orv {

// Below this level a signal is no longer sound but the residue of a decaying
// recurrence, which stalls instead of reaching zero once its steps round to
// no change (subnormals flushed or not): 1e-30 is 600 dB below full scale.
// The room drops such residues when it falls silent.
inline constexpr float kQuietLevel = 1e-30f;

// Second-order section y = (na2·y2 + na1·y1) + (b2·x2 + (b1·x1 + b0·x)).
// The coefficients are already divided by a0; na1, na2 are the negated
// feedback terms. A filter starts as a unit filter until a design sets it.
class BiquadFilter {
 public:
  // Peaking equaliser (Audio EQ Cookbook): gain is the linear amplitude at
  // frequency, q the quality factor. Overwrites the coefficients, keeps the
  // state. Any arguments are accepted: frequency at or
  // above samplingRate / 2 gives a filter with a pole outside the unit circle,
  // so callers keep such bands out.
  void PeakingEQ(float samplingRate, float frequency, float gain, float q);
  // Band-pass with 0 dB at frequency (constant peak gain); b1 = 0, b2 = -b0.
  void BandpassFilter(float samplingRate, float frequency, float q);

  float b0 = 1.0f;
  float b1 = 0.0f;
  float b2 = 0.0f;
  float na1 = 0.0f;
  float na2 = 0.0f;

 protected:
  // Only the one- and two-channel filters are objects of their own.
  ~BiquadFilter() = default;
};

// One channel.
class SingleBiquadFilter final : public BiquadFilter {
 public:
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

#if defined(ORV_HAVE_SIMD4)
  void ProcessVector(float& left, float& right) noexcept {
    using namespace simd;
    const Pair in{left, right};
    const Float4 x = LoadPair(&in.left);
    const Float4 feedback =
        Add(Mul(Splat(na2), LoadPair(&y2.left)), Mul(Splat(na1), LoadPair(&y1.left)));
    const Float4 feedforward = Add(Mul(Splat(b2), LoadPair(&x2.left)),
                                   Add(Mul(Splat(b1), LoadPair(&x1.left)), Mul(Splat(b0), x)));
    const Float4 y = Add(feedback, feedforward);
    y2 = y1;
    StorePair(&y1.left, y);
    x2 = x1;
    x1 = in;
    left = y1.left;
    right = y1.right;
  }
#endif

  void Mute() noexcept { x1 = x2 = y1 = y2 = Pair{}; }

  Pair x1;
  Pair x2;
  Pair y1;
  Pair y2;
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

  // n samples in place (any alignment), the same as n calls of Process. A
  // stage with delay N runs N independent steps at a time, in runs that
  // never cross the end of the histories. ORV_REALTIME.
  void ProcessBlock(float* data, int n) noexcept;
  // The same without the 4-wide kernel (the scalar path beside it).
  void ProcessBlockScalar(float* data, int n) noexcept;

  // True when both histories are all zeros: silent input then stays silent.
  // Reads 2N floats.
  bool IsSilent() const noexcept;
  // True when both histories lie within ±kQuietLevel. Reads 2N floats.
  bool IsQuiet() const noexcept;
  // Zeroes the histories.
  void Clear() noexcept;

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
    quietSteps = 0;
    isSilent = false;
    buffer[position] = x;
    position = position + 1 == size ? 0 : position + 1;
    int i = position - delay;
    if (i < 0) i += size;  // delay <= size: one wrap is enough
    return buffer[i];
  }

  // n samples, the same as n calls of Process: out[i] is in[i - d], or the
  // ring's sample for i < d. Copies whole runs. in and out must not overlap.
  // ORV_REALTIME.
  void ProcessBlock(const float* in, float* out, int n) noexcept;

  // True when the ring holds only zeros: as built or cleared, and since then
  // only silent blocks (a block of zeros into it is then skipped).
  bool IsSilent() const noexcept { return isSilent; }
  // True when the whole ring lies within ±kQuietLevel (known from the
  // blocks written; the per-sample step does not keep count).
  bool IsQuiet() const noexcept { return quietSteps >= size; }
  // Zeroes the ring.
  void Clear() noexcept;

  int GetDelay() const { return delay - 1; }
  int GetSize() const { return size; }

  std::vector<float> buffer;
  int position = 0;
  int size;
  int delay = 1;  // the requested delay plus one
  // Samples within ±kQuietLevel written in a row by ProcessBlock; reset by
  // Process.
  int quietSteps = 0;
  bool isSilent = true;
};

}  // namespace orv
