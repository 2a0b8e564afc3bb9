#include "room/OrvRoom_Tone.h"

#include <cmath>

namespace orv {
namespace {

constexpr float kBassFrequency = 70.0f;
constexpr float kBassQ = 0.4f;

inline float FiniteOrZero(float v) noexcept { return std::isfinite(v) ? v : 0.0f; }

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
    filter.Prepare();
    return false;
  }
  filter.PeakingEQ(samplingRate, band.frequency, band.gain, band.q);
  return true;
}

Equalizer::Equalizer(float samplingRate) {
  for (int b = 0; b < kNumEqualizerBands; ++b)
    DesignEqualizerBand(bands[b], samplingRate, kEqualizerBands[b]);
}

bool Equalizer::IsSilent() const noexcept {
  for (const auto& band : bands) {
    for (const auto* p : {&band.x1, &band.x2, &band.y1, &band.y2})
      if (p->left != 0.0f || p->right != 0.0f) return false;
  }
  return true;
}

void Equalizer::Process(const float* in, float* mainMix, int numFrames) noexcept {
  // Silence through filters at rest stays silence: nothing to add.
  if (AllZero(in, 2 * numFrames) && IsSilent()) return;
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
  const bool isAtRest = filter.x1 == 0.0f && filter.x2 == 0.0f && filter.y1 == 0.0f &&
                        filter.y2 == 0.0f;
  if (isAtRest && AllZero(dryMonoSum, numFrames)) return;  // BassEnhance(0) = 0
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
