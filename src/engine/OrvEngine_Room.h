// Constants and designs of the engine's room stages: the six equaliser bands
// of the binaural signal, the diffuser before the medium and long reverb
// layers and the bass enhancer's saturation. The stages themselves are
// members of Engine (OrvEngine_Room.cpp).
#pragma once

#include <algorithm>
#include <array>

#include "dsp/OrvUtils.h"

namespace orv {

// One peaking band: centre frequency in Hz, linear gain at the centre, q.
struct EqualizerBand {
  float frequency;
  float gain;
  float q;
};

inline constexpr int kNumEqualizerBands = 6;

// Applied in this order to the binaural signal.
inline constexpr std::array<EqualizerBand, kNumEqualizerBands> kEqualizerBands = {{
    {380.0f, 0.1f, 16.0f},
    {7900.0f, 0.4f, 7.0f},
    {1700.0f, 1.4f, 7.0f},
    {6000.0f, 1.4f, 7.0f},
    {3000.0f, 0.3f, 1.0f},
    {9000.0f, 0.3f, 10.0f},
}};

// True when a peaking band at frequency can exist at samplingRate: its centre
// lies below the Nyquist frequency.
inline bool IsRealisableBand(float samplingRate, float frequency) noexcept {
  return frequency > 0.0f && frequency < 0.5f * samplingRate;
}

// Designs filter as the band at samplingRate, or leaves it a unit filter when
// the band cannot be realised there: above Nyquist the band's angle wraps
// round the circle, so the design either gets a negative alpha (a pole
// outside the unit circle: the filter blows up) or lands as an alias on some
// other, audible frequency. A band the rate cannot carry has nothing to
// shape, so passing the signal unchanged is the faithful choice. Returns
// whether the band was designed.
bool DesignEqualizerBand(BiquadFilter& filter, float samplingRate, const EqualizerBand& band);

// The diffuser before the medium and long layers: (delay in samples,
// coefficient) of its Schroeder all-passes, in processing order.
struct DiffuserStage {
  int delay;
  float coef;
};
inline constexpr std::array<DiffuserStage, 8> kDiffuserStages = {{
    {7, 0.3f},
    {37, 0.2f},
    {97, 0.1f},
    {157, 0.1f},
    {1, 0.6f},
    {3, 0.6f},
    {5, 0.6f},
    {55, 0.6f},
}};

// Bass enhancer: the 70 Hz band-pass output y, scaled by 0.05 and given a
// cubic term that thickens louder bass; the cubic term is bounded by clamping
// its argument to +-2. ORV_REALTIME.
inline float BassEnhance(float y) noexcept {
  const float scaled = 0.05f * y;
  const float h = std::clamp(scaled, -2.0f, 2.0f);
  return scaled + 0.875f * (h * h * h);
}

}  // namespace orv
