// The reverb's block form: runs of up to the shortest loop, each line read
// and written as one contiguous run, the mixing and damping on four steps at
// once (see OrvReverb.h).
#include <algorithm>
#include <cmath>

#include "dsp/OrvReverb.h"

namespace orv {

namespace {

// The Hadamard product in place: butterflies over index bits 0, 1, 2, 3 in
// turn. Each pass combines the same pairs, in the same operand order, as a
// pass of the per-step form (which moves sums to lanes 0..7 and differences
// to 8..15 and so brings the next bit down to bit 0), so the results are the
// same to the bit, with half the values live.
template <class T, class AddOp, class SubOp>
inline void Hadamard(T* v, AddOp add, SubOp sub) noexcept {
  ORV_SIMD_UNROLL
  for (int stride = 1; stride < Reverb::kNumLines; stride *= 2) {
    ORV_SIMD_UNROLL
    for (int i = 0; i < Reverb::kNumLines; ++i) {
      if (i & stride) continue;
      const T a = v[i];
      const T b = v[i + stride];
      v[i] = add(a, b);
      v[i + stride] = sub(a, b);
    }
  }
}

bool AllZero(const float* x, int n) noexcept {
  for (int i = 0; i < n; ++i)
    if (x[i] != 0.0f) return false;
  return true;
}

// out[t] = (w[t] - a·w[t - 1]) · b with w[-1] = previous: the tone correction
// of one output over a run of its line, in the per-step form's operations.
void ToneCorrect(const float* w, int n, float previous, float a, float b, float* out) noexcept {
  if (n <= 0) return;
  out[0] = (w[0] - a * previous) * b;
  int t = 1;
#if defined(ORV_HAVE_SIMD4)
  using namespace simd;
  const Float4 va = Splat(a);
  const Float4 vb = Splat(b);
  for (; t + 4 <= n; t += 4) StoreU(out + t, Mul(Sub(LoadU(w + t), Mul(va, LoadU(w + t - 1))), vb));
#endif
  for (; t < n; ++t) out[t] = (w[t] - a * w[t - 1]) * b;
}

}  // namespace

bool Reverb::IsQuiet() const noexcept {
  if (quietSteps < kLineLength) return false;
  for (const float s : lpfState)
    if (!(std::fabs(s) <= kQuietLevel)) return false;
  return true;
}

void Reverb::Silence() noexcept {
  lines.Clear();
  lpfState.fill(0.0f);
  toneState.fill(0.0f);
  quietSteps = kLineLength;
  isSilent = true;
}

void Reverb::Step(const float* const* read, float* const* write, int t, float input) noexcept {
  std::array<float, kNumLines> v;
  ORV_SIMD_UNROLL
  for (int j = 0; j < kNumLines; ++j) v[j] = read[j][t];
  Hadamard(
      v.data(), [](float a, float b) { return a + b; }, [](float a, float b) { return a - b; });
  ORV_SIMD_UNROLL
  for (int k = 0; k < kNumLines; ++k) {
    lpfState[k] = (gain * v[k] - lpfState[k]) * lpfCoef + lpfState[k];
    v[k] = lpfState[k];
  }
  v[0] = v[0] + input;
  v[1] = v[1] + 0.0f;
  v[2] = v[2] + (-input);
  v[3] = v[3] + 0.0f;
  ORV_SIMD_UNROLL
  for (int k = 0; k < kNumLines; ++k) write[k][t] = v[k];
}

int Reverb::StepTiles(const float* const* read, float* const* write, int n, const float* input,
                      float& loudest) noexcept {
#if defined(ORV_HAVE_SIMD4)
  using namespace simd;
  // Lanes hold four successive steps of one line: the Hadamard passes are
  // then plain vertical sums. The damping recurrence runs along the steps,
  // so it works on the transposed tile, whose lanes are four lines.
  const Float4 g = Splat(gain);
  const Float4 c = Splat(lpfCoef);
  const Float4 zero = Zero();
  Float4 s[4];
  ORV_SIMD_UNROLL
  for (int q = 0; q < 4; ++q) s[q] = Load(lpfState.data() + 4 * q);
  Float4 peak = zero;
  const int tiles = n / 4;
  for (int tile = 0; tile < tiles; ++tile) {
    const int t = 4 * tile;
    Float4 v[kNumLines];
    ORV_SIMD_UNROLL
    for (int j = 0; j < kNumLines; ++j) v[j] = LoadU(read[j] + t);
    Hadamard(
        v, [](Float4 a, Float4 b) { return Add(a, b); },
        [](Float4 a, Float4 b) { return Sub(a, b); });
    ORV_SIMD_UNROLL
    for (int q = 0; q < 4; ++q) Transpose4(v[4 * q], v[4 * q + 1], v[4 * q + 2], v[4 * q + 3]);
    ORV_SIMD_UNROLL
    for (int j = 0; j < 4; ++j) {
      ORV_SIMD_UNROLL
      for (int q = 0; q < 4; ++q) {
        s[q] = Add(Mul(Sub(Mul(g, v[4 * q + j]), s[q]), c), s[q]);
        v[4 * q + j] = s[q];
      }
    }
    ORV_SIMD_UNROLL
    for (int q = 0; q < 4; ++q) Transpose4(v[4 * q], v[4 * q + 1], v[4 * q + 2], v[4 * q + 3]);
    // x - y is x + (-y) exactly, signed zeros included.
    const Float4 x = LoadU(input + t);
    v[0] = Add(v[0], x);
    v[1] = Add(v[1], zero);
    v[2] = Sub(v[2], x);
    v[3] = Add(v[3], zero);
    ORV_SIMD_UNROLL
    for (int k = 0; k < kNumLines; ++k) {
      StoreU(write[k] + t, v[k]);
      peak = Max(peak, Abs(v[k]));
    }
  }
  ORV_SIMD_UNROLL
  for (int q = 0; q < 4; ++q) Store(lpfState.data() + 4 * q, s[q]);
  alignas(16) float lanes[4];
  Store(lanes, peak);
  for (const float p : lanes) loudest = std::max(loudest, p);
  return tiles;
#else
  (void)read;
  (void)write;
  (void)n;
  (void)input;
  (void)loudest;
  return 0;
#endif
}

template <bool useVector>
void Reverb::Run(const float* input, int numFrames, int a, float* outA, int b,
                 float* outB) noexcept {
  if (numFrames <= 0) return;
  if (isSilent && AllZero(input, numFrames)) {
    // Zero rings read zeros wherever they are read, so the position may stay.
    std::fill(outA, outA + numFrames, 0.0f);
    std::fill(outB, outB + numFrames, 0.0f);
    return;
  }
  int shortestLoop = kLineLength;
  for (int k = 0; k < kNumLines; ++k) shortestLoop = std::min(shortestLoop, lines.GetLoop(k));

  for (int done = 0; done < numFrames;) {
    // A run never reads what it writes (at most the shortest loop) and never
    // crosses the end of a ring.
    int n = std::min({numFrames - done, shortestLoop, lines.WriteSpan()});
    const float* read[kNumLines];
    float* write[kNumLines];
    for (int k = 0; k < kNumLines; ++k) {
      n = std::min(n, lines.ReadSpan(k));
      read[k] = lines.ReadRun(k);
      write[k] = lines.WriteRun(k);
    }
    const float* x = input + done;
    float loudest = 0.0f;
    int t = 0;
    if constexpr (useVector) t = 4 * StepTiles(read, write, n, x, loudest);
    for (; t < n; ++t) {
      Step(read, write, t, x[t]);
      for (int k = 0; k < kNumLines; ++k) loudest = std::max(loudest, std::fabs(write[k][t]));
    }
    ToneCorrect(write[a], n, toneState[a], toneA, toneB, outA + done);
    ToneCorrect(write[b], n, toneState[b], toneA, toneB, outB + done);
    for (int k = 0; k < kNumOutputs; ++k) toneState[k] = write[k][n - 1];
    lines.Advance(n);
    quietSteps = loudest <= kQuietLevel ? std::min(quietSteps + n, kLineLength) : 0;
    isSilent = false;
    done += n;
  }
}

void Reverb::ProcessBlock(const float* input, int numFrames, int a, float* outA, int b,
                          float* outB) noexcept {
#if defined(ORV_HAVE_SIMD4)
  Run<true>(input, numFrames, a, outA, b, outB);
#else
  Run<false>(input, numFrames, a, outA, b, outB);
#endif
}

void Reverb::ProcessBlockScalar(const float* input, int numFrames, int a, float* outA, int b,
                                float* outB) noexcept {
  Run<false>(input, numFrames, a, outA, b, outB);
}

}  // namespace orv
