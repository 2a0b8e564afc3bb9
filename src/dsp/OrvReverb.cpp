#include "dsp/OrvReverb.h"

#include <algorithm>
#include <cmath>

#include "common/OrvAssert.h"

namespace orv {

namespace {

// --- Prime table ---------------------------------------------------------------
// All primes below kPrimeTableLimit, built at compile time. Constant data
// cannot race, so any number of engines may update their reverbs at once
// without a lock. The table holds every answer a line length can need (up to
// 32771, the first prime past the longest ring delay).
constexpr int kPrimeTableLimit = 32800;

struct Sieve {
  bool isComposite[kPrimeTableLimit] = {};
  int count = 0;
  constexpr Sieve() {
    isComposite[0] = isComposite[1] = true;
    for (int i = 2; i * i < kPrimeTableLimit; ++i)
      if (!isComposite[i])
        for (int j = i * i; j < kPrimeTableLimit; j += i) isComposite[j] = true;
    for (int i = 0; i < kPrimeTableLimit; ++i)
      if (!isComposite[i]) ++count;
  }
};

constexpr Sieve kSieve;

constexpr auto MakePrimeTable() {
  std::array<int, kSieve.count> table{};
  std::size_t k = 0;
  for (int i = 0; i < kPrimeTableLimit; ++i)
    if (!kSieve.isComposite[i]) table[k++] = i;
  return table;
}

constexpr auto kPrimes = MakePrimeTable();
static_assert(kPrimes[0] == 2 && kPrimes[1] == 3 && kPrimes.back() >= 32771);

// Trial division, by the table first and then by the odd numbers past it.
bool IsPrime(long long q) noexcept {
  for (const int p : kPrimes) {
    if (static_cast<long long>(p) * p > q) return true;
    if (q % p == 0) return false;
  }
  for (long long d = kPrimes.back() + 2; d * d <= q; d += 2)
    if (q % d == 0) return false;
  return true;
}

// --- Bounds that keep every sampling rate working ------------------------------
// A line holds delays up to kLineLength - 1 samples.
constexpr int kMaxLineDelay = Reverb::kLineLength - 1;
// Target span of the whole line set, kept clearly below the ring so that the
// upward rounding to primes does not push the longest line past it.
constexpr float kMaxLineSpan = 30000.0f;
// Largest (1 + delayRange) honoured: even the shortest possible lines (2, 3, 5,
// ...) then fit the ring, so a fitting set of lengths always exists.
constexpr float kMaxRangeFactor = 1000.0f;
// Lower bound of the damping coefficient: keeps toneB = 1 / (1 - toneA)
// finite when the design degenerates (hfFrequency <= 0, hfRatio near 0). Real
// settings give coefficients many orders of magnitude above it.
constexpr float kMinLpfCoef = 1e-6f;

// Picks sixteen strictly increasing primes starting at t0 samples, each target
// growing by ratio from the previous prime. False when a line would not fit.
bool ChooseLineDelays(float t0, float ratio, std::array<int, Reverb::kNumLines>& delays) noexcept {
  float t = t0;
  int prev = 0;
  for (int i = 0; i < Reverb::kNumLines; ++i) {
    if (!(t <= static_cast<float>(kMaxLineDelay))) return false;
    int p = FindNearestPrime(static_cast<int>(t));
    while (p <= prev) p = FindNearestPrime(p + 2);
    if (p > kMaxLineDelay) return false;
    delays[i] = p;
    t = static_cast<float>(p) * ratio;
    prev = p;
  }
  return true;
}

}  // namespace

int FindNearestPrime(int n) noexcept {
  if (n <= 2) return 2;
  if (n <= kPrimes.back()) return *std::lower_bound(kPrimes.begin(), kPrimes.end(), n);
  // Beyond the table (never needed by a reverb): trial division. INT_MAX is
  // itself prime, so the answer always fits an int.
  for (long long q = n | 1;; q += 2)
    if (IsPrime(q)) return static_cast<int>(q);
}

Reverb::Reverb(double samplingRate)
    : samplingRate(static_cast<float>(samplingRate)),
      hfFrequency(static_cast<float>(0.1 * samplingRate)) {
  ORV_ASSERT(samplingRate >= 0.0, "OrvReverb");
  ORV_ASSERT(!std::isnan(samplingRate), "OrvReverb");
  // Provisional lengths; Update replaces them. Bounded so that no rate can
  // exceed the ring here either.
  float t = this->samplingRate * 0.01f;
  for (int i = 0; i < kNumLines; ++i) {
    lines.SetDelay(i, t < static_cast<float>(kMaxLineDelay) ? static_cast<int>(t) : kMaxLineDelay);
    t *= 1.09f;
  }
  lpfState.fill(0.0f);
  toneState.fill(0.0f);
  Update();
}

void Reverb::SetSize(float v) {
  ORV_ASSERT(v >= 0.f, "OrvReverb");
  ORV_ASSERT(!std::isnan(v), "OrvReverb");
  size = std::clamp(v, 0.0001f, 100.0f);
}

void Reverb::SetDelayRange(float v) {
  ORV_ASSERT(v >= 0.f, "OrvReverb");
  ORV_ASSERT(!std::isnan(v), "OrvReverb");
  delayRange = v;
}

void Reverb::SetRT60Time(float seconds) {
  ORV_ASSERT(seconds >= 0.f, "OrvReverb");
  ORV_ASSERT(!std::isnan(seconds), "OrvReverb");
  rt60Time = std::clamp(seconds, 0.0001f, 100.0f);
}

void Reverb::SetHFReverbTimeRatio(float frequency, float ratio) {
  hfFrequency = frequency;
  hfRatio = ratio;
}

void Reverb::Update() {
  const float rangeFactor = std::min(delayRange + 1.0f, kMaxRangeFactor);
  const float ratio = std::pow(rangeFactor, 0.0625f);  // the 16th root

  // Line lengths. At high sampling rates a long size would not fit the
  // rings: the set then shrinks to the largest that fits. The gain below is
  // derived from the lengths actually used, so the decay time holds.
  float lineSize = size;
  if (size * samplingRate * rangeFactor > kMaxLineSpan)
    lineSize = kMaxLineSpan / (samplingRate * rangeFactor);
  std::array<int, kNumLines> delays{};
  for (int attempt = 0; !ChooseLineDelays(lineSize * samplingRate, ratio, delays); ++attempt) {
    ORV_ASSERT(attempt < 200, "OrvReverb");
    lineSize *= 0.9f;
  }
  for (int i = 0; i < kNumLines; ++i) lines.SetDelay(i, delays[i]);

  // Feedback gain: 60 dB per rt60Time over a path of meanDelay seconds (the
  // geometric middle of the range); 0.25 = 1/sqrt(16) normalises the unscaled
  // Hadamard matrix.
  const float ratio2 = ratio * ratio;
  const float ratio4 = ratio2 * ratio2;
  const float meanDelay = ratio4 * ratio4 * lineSize;
  gain = std::exp(meanDelay * (-13.8155f / rt60Time) * 0.5f) * 0.25f;

  // Damping: the one-pole low-pass whose magnitude at hfFrequency is g, the
  // extra attenuation per pass there. A frequency above Nyquist would alias
  // (at the full rate it lands on w = 2π, where the coefficient is 0 and the
  // output dies), so the damping applies at Nyquist at most.
  const float g = std::pow(gain, 1.0f / hfRatio) / gain;
  const float frequency = std::min(hfFrequency, 0.5f * samplingRate);
  const float w = frequency / samplingRate * 6.2831855f;
  const float sw = std::sin(w);
  const float cw = std::cos(w);
  const float g2 = g * g;
  // At tiny w, cw rounds to 1 and the radicand to a tiny negative number.
  const float radicand = std::max((1.0f - cw) + (1.0f - cw) - (sw * g) * (sw * g), 0.0f);
  const float numerator = (cw + (-1.0f)) * g2 + std::sqrt(radicand) * g;
  lpfCoef = numerator / (1.0f - g2);
  ORV_ASSERT(lpfCoef >= 0.f, "OrvReverb");
  ORV_ASSERT(lpfCoef <= 1.f, "OrvReverb");
  lpfCoef = std::min(lpfCoef, 0.9f);
  ORV_ASSERT(!std::isnan(lpfCoef), "OrvReverb");
  lpfCoef = std::max(lpfCoef, kMinLpfCoef);

  // Tone correction (1 - toneA z^-1) / (1 - toneA): unit gain at 0 Hz.
  toneA = (1.0f - lpfCoef) / (lpfCoef + 1.0f);
  toneB = 1.0f / (1.0f - toneA);
}

Reverb::Output Reverb::ProcessSampleScalar(float input) noexcept {
  std::array<float, kNumLines> v;
  for (int j = 0; j < kNumLines; ++j) v[j] = lines.Read(j);

  // Four butterfly passes give the unscaled Sylvester-ordered Hadamard product.
  for (int stage = 0; stage < 4; ++stage) {
    std::array<float, kNumLines> w;
    for (int i = 0; i < kNumLines / 2; ++i) {
      w[i] = v[2 * i] + v[2 * i + 1];
      w[8 + i] = v[2 * i] - v[2 * i + 1];
    }
    v = w;
  }

  for (int k = 0; k < kNumLines; ++k) {
    lpfState[k] = (gain * v[k] - lpfState[k]) * lpfCoef + lpfState[k];
    v[k] = lpfState[k];
  }

  // The input enters line 0 in phase and line 2 in opposite phase; adding 0
  // to lines 1 and 3 keeps the results identical to the vector paths (it
  // turns -0 into +0).
  v[0] = v[0] + input;
  v[1] = v[1] + 0.0f;
  v[2] = v[2] + (-input);
  v[3] = v[3] + 0.0f;

  for (int k = 0; k < kNumLines; ++k) lines.Write(k, v[k]);
  lines.Advance();
  quietSteps = 0;  // not tracked step by step
  isSilent = false;

  Output out;
  for (int k = 0; k < kNumOutputs; ++k) {
    out[k] = (v[k] - toneA * toneState[k]) * toneB;
    toneState[k] = v[k];
  }
  return out;
}

#if defined(ORV_HAVE_SIMD4)
Reverb::Output Reverb::ProcessSampleVector(float input) noexcept {
  using namespace simd;
  alignas(16) float buffer[kNumLines];
  for (int j = 0; j < kNumLines; ++j) buffer[j] = lines.Read(j);
  Float4 v0 = Load(buffer);
  Float4 v1 = Load(buffer + 4);
  Float4 v2 = Load(buffer + 8);
  Float4 v3 = Load(buffer + 12);

  // Each pass: the sums of adjacent pairs fill lanes 0..7, their differences
  // lanes 8..15 (a horizontal add and subtract built from two shuffles).
  for (int stage = 0; stage < 4; ++stage) {
    const Float4 evenLow = Shuffle<0, 2, 0, 2>(v0, v1);
    const Float4 oddLow = Shuffle<1, 3, 1, 3>(v0, v1);
    const Float4 evenHigh = Shuffle<0, 2, 0, 2>(v2, v3);
    const Float4 oddHigh = Shuffle<1, 3, 1, 3>(v2, v3);
    v0 = Add(evenLow, oddLow);
    v1 = Add(evenHigh, oddHigh);
    v2 = Sub(evenLow, oddLow);
    v3 = Sub(evenHigh, oddHigh);
  }

  const Float4 g = Splat(gain);
  const Float4 k = Splat(lpfCoef);
  Float4 m[4] = {v0, v1, v2, v3};
  for (int q = 0; q < 4; ++q) {
    const Float4 s = Load(lpfState.data() + 4 * q);
    m[q] = Add(Mul(Sub(Mul(g, m[q]), s), k), s);
    Store(lpfState.data() + 4 * q, m[q]);
  }
  alignas(16) const float in[4] = {input, 0.0f, -input, 0.0f};
  m[0] = Add(m[0], Load(in));

  for (int q = 0; q < 4; ++q) Store(buffer + 4 * q, m[q]);
  for (int j = 0; j < kNumLines; ++j) lines.Write(j, buffer[j]);
  lines.Advance();
  quietSteps = 0;
  isSilent = false;

  const Float4 a = Splat(toneA);
  const Float4 b = Splat(toneB);
  Output out;
  for (int q = 0; q < 2; ++q) {
    StoreU(out.data() + 4 * q, Mul(Sub(m[q], Mul(a, Load(toneState.data() + 4 * q))), b));
    Store(toneState.data() + 4 * q, m[q]);
  }
  return out;
}
#endif

}  // namespace orv
