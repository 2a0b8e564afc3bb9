#include "room/OrvRoom_Tone.h"

#include <algorithm>
#include <cmath>

#include "common/OrvSimd.h"

namespace orv {
namespace {

constexpr float kBassFrequency = 70.0f;
constexpr float kBassQ = 0.4f;

inline float FiniteOrZero(float v) noexcept { return std::isfinite(v) ? v : 0.0f; }

// A filter's recurrence stalls in a residue instead of reaching zero (see
// kQuietLevel).
inline bool IsQuiet(float v) noexcept { return std::fabs(v) <= kQuietLevel; }

bool AllZero(const float* x, int n) noexcept {
  for (int i = 0; i < n; ++i)
    if (x[i] != 0.0f) return false;
  return true;
}

}  // namespace

bool DesignEqualizerBand(BiquadFilter& filter, float samplingRate, const EqualizerBand& band) {
  if (!IsRealisableBand(samplingRate, band.frequency)) {
    filter.b0 = 1.0f;
    filter.b1 = filter.b2 = filter.na1 = filter.na2 = 0.0f;
    return false;
  }
  filter.PeakingEQ(samplingRate, band.frequency, band.gain, band.q);
  return true;
}

Equalizer::Equalizer(float samplingRate) {
  for (int b = 0; b < kNumEqualizerBands; ++b)
    DesignEqualizerBand(bands[b], samplingRate, kEqualizerBands[b]);
}

bool Equalizer::IsQuietState() const noexcept {
  for (const auto& band : bands) {
    for (const auto* p : {&band.x1, &band.x2, &band.y1, &band.y2})
      if (!IsQuiet(p->left) || !IsQuiet(p->right)) return false;
  }
  return true;
}

void Equalizer::Process(const float* in, float* mainMix, int numFrames) noexcept {
  // Silence through filters at rest stays silence: nothing to add. A quiet
  // residue is dropped first.
  if (AllZero(in, 2 * numFrames) && IsQuietState()) {
    for (auto& band : bands) band.Mute();
    return;
  }
  for (int done = 0; done < numFrames; done += kChunk) {
    const int n = std::min(kChunk, numFrames - done);
    if (!ProcessPipelined(in + 2 * done, mainMix + 2 * done, n))
      ProcessScalar(in + 2 * done, mainMix + 2 * done, n);
  }
}

void Equalizer::ProcessScalar(const float* in, float* mainMix, int numFrames) noexcept {
  for (int i = 0; i < numFrames; ++i) {
    float left = in[2 * i];
    float right = in[2 * i + 1];
    // Pairwise: the two channels share the filters' step.
    if (!(std::isfinite(left) && std::isfinite(right))) left = right = 0.0f;
    for (auto& band : bands) band.Process(left, right);
    if (!(std::isfinite(left) && std::isfinite(right))) [[unlikely]] {
      // Only an overflow gets here; restart rather than recirculate it.
      for (auto& band : bands) band.Mute();
      left = right = 0.0f;
    }
    mainMix[2 * i] += left;
    mainMix[2 * i + 1] += right;
  }
}

bool Equalizer::ProcessPipelined(const float* in, float* mainMix, int numFrames) noexcept {
#if defined(ORV_HAVE_SIMD4)
  static_assert(kNumEqualizerBands == 6, "three vectors of two bands");
  using namespace simd;
  constexpr int kVectors = kNumEqualizerBands / 2;
  constexpr int kLag = kNumEqualizerBands - 1;  // frames between band 0 and band 5
  const int n = numFrames;

  alignas(16) float x[2 * kChunk];
  alignas(16) float y[2 * kChunk];
  for (int i = 0; i < n; ++i) {
    const float left = in[2 * i];
    const float right = in[2 * i + 1];
    const bool isFinite = std::isfinite(left) && std::isfinite(right);
    x[2 * i] = isFinite ? left : 0.0f;
    x[2 * i + 1] = isFinite ? right : 0.0f;
  }

  // Vector p: lanes 0, 1 band 2p (left, right), lanes 2, 3 band 2p + 1.
  const auto both = [this](int p, auto member) {
    const DualBiquadFilter& a = bands[2 * p];
    const DualBiquadFilter& b = bands[2 * p + 1];
    return Shuffle<0, 1, 0, 1>(Splat(a.*member), Splat(b.*member));
  };
  const auto state = [this](int p, DualBiquadFilter::Pair DualBiquadFilter::*member) {
    return Shuffle<0, 1, 0, 1>(LoadPair(&(bands[2 * p].*member).left),
                               LoadPair(&(bands[2 * p + 1].*member).left));
  };
  Float4 b0[kVectors], b1[kVectors], b2[kVectors], na1[kVectors], na2[kVectors];
  Float4 x1[kVectors], x2[kVectors], y1[kVectors], y2[kVectors];
  ORV_SIMD_UNROLL
  for (int p = 0; p < kVectors; ++p) {
    b0[p] = both(p, &BiquadFilter::b0);
    b1[p] = both(p, &BiquadFilter::b1);
    b2[p] = both(p, &BiquadFilter::b2);
    na1[p] = both(p, &BiquadFilter::na1);
    na2[p] = both(p, &BiquadFilter::na2);
    x1[p] = state(p, &DualBiquadFilter::x1);
    x2[p] = state(p, &DualBiquadFilter::x2);
    y1[p] = state(p, &DualBiquadFilter::y1);
    y2[p] = state(p, &DualBiquadFilter::y2);
  }

  // Iteration i: band b steps frame i - b, its input the output band b - 1
  // gave in the previous iteration. While the pipeline fills and drains,
  // bands without a frame keep their state.
  Float4 nonFinite = Zero();
  for (int i = 0; i < n + kLag; ++i) {
    const Float4 input = i < n ? LoadPair(x + 2 * i) : Zero();
    Float4 in4[kVectors];
    in4[0] = Shuffle<0, 1, 0, 1>(input, y1[0]);
    in4[1] = Shuffle<2, 3, 0, 1>(y1[0], y1[1]);
    in4[2] = Shuffle<2, 3, 0, 1>(y1[1], y1[2]);
    Float4 out[kVectors];
    ORV_SIMD_UNROLL
    for (int p = 0; p < kVectors; ++p) {
      out[p] = Add(Add(Mul(na2[p], y2[p]), Mul(na1[p], y1[p])),
                   Add(Mul(b2[p], x2[p]), Add(Mul(b1[p], x1[p]), Mul(b0[p], in4[p]))));
    }
    if (i >= kLag && i < n) {
      ORV_SIMD_UNROLL
      for (int p = 0; p < kVectors; ++p) {
        x2[p] = x1[p];
        x1[p] = in4[p];
        y2[p] = y1[p];
        y1[p] = out[p];
      }
    } else {
      for (int p = 0; p < kVectors; ++p) {
        const int lowFrame = i - 2 * p;
        const Float4 active =
            PairMask(lowFrame >= 0 && lowFrame < n, lowFrame >= 1 && lowFrame <= n);
        x2[p] = Select(active, x1[p], x2[p]);
        x1[p] = Select(active, in4[p], x1[p]);
        y2[p] = Select(active, y1[p], y2[p]);
        y1[p] = Select(active, out[p], y1[p]);
      }
    }
    if (i >= kLag) {
      const Float4 last = Shuffle<2, 3, 2, 3>(y1[kVectors - 1], y1[kVectors - 1]);
      nonFinite = Add(nonFinite, Sub(last, last));  // 0 while finite, NaN after
      StorePair(y + 2 * (i - kLag), last);
    }
  }
  if (AnyNaN(nonFinite)) return false;  // states untouched: nothing was stored

  for (int p = 0; p < kVectors; ++p) {
    DualBiquadFilter& a = bands[2 * p];
    DualBiquadFilter& b = bands[2 * p + 1];
    StorePair(&a.x1.left, x1[p]);
    StorePair(&a.x2.left, x2[p]);
    StorePair(&a.y1.left, y1[p]);
    StorePair(&a.y2.left, y2[p]);
    StorePair(&b.x1.left, Shuffle<2, 3, 2, 3>(x1[p], x1[p]));
    StorePair(&b.x2.left, Shuffle<2, 3, 2, 3>(x2[p], x2[p]));
    StorePair(&b.y1.left, Shuffle<2, 3, 2, 3>(y1[p], y1[p]));
    StorePair(&b.y2.left, Shuffle<2, 3, 2, 3>(y2[p], y2[p]));
  }
  int i = 0;
  for (; i + 2 <= n; i += 2) StoreU(mainMix + 2 * i, Add(LoadU(mainMix + 2 * i), Load(y + 2 * i)));
  for (; i < n; ++i) {
    mainMix[2 * i] += y[2 * i];
    mainMix[2 * i + 1] += y[2 * i + 1];
  }
  return true;
#else
  (void)in;
  (void)mainMix;
  (void)numFrames;
  return false;
#endif
}

BassEnhancer::BassEnhancer(float samplingRate) {
  if (IsRealisableBand(samplingRate, kBassFrequency)) {
    filter.BandpassFilter(samplingRate, kBassFrequency, kBassQ);
  } else {
    // No 70 Hz band exists at such a rate, so there is no bass to enhance:
    // the design would put a pole outside the unit circle.
    filter.b0 = filter.b1 = filter.b2 = filter.na1 = filter.na2 = 0.0f;
  }
}

void BassEnhancer::Process(const float* dryMonoSum, float* mainMix, int numFrames) noexcept {
  const bool isQuiet =
      IsQuiet(filter.x1) && IsQuiet(filter.x2) && IsQuiet(filter.y1) && IsQuiet(filter.y2);
  if (isQuiet && AllZero(dryMonoSum, numFrames)) {
    // Silence through a filter at rest gives BassEnhance(0) = 0; a quiet
    // residue is dropped first.
    filter.Mute();
    return;
  }
  for (int i = 0; i < numFrames; ++i) {
    float y = filter.Process(FiniteOrZero(dryMonoSum[i]));
    if (!std::isfinite(y)) [[unlikely]] {
      // Only an overflow gets here; restart rather than recirculate it.
      filter.Mute();
      y = 0.0f;
    }
    const float e = BassEnhance(y);
    mainMix[2 * i] += e;
    mainMix[2 * i + 1] += e;
  }
}

}  // namespace orv
