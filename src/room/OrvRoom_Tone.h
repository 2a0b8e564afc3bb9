// The room's tone stages: the six-band equaliser of the binaural signal and
// the 70 Hz bass enhancer of the dry mono sum. Both skip blocks of silence
// once their filters have rung out (to zeros or a residue 600 dB down, which
// is then dropped). The bass band-pass runs
// frame by frame (one recurrence, nothing to run beside it); the equaliser
// runs its bands as a pipeline, see Equalizer.
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

// Applied in this order to the binaural signal. In decibels: a narrow -20 dB
// notch at 380 Hz and a -8 dB one at 7.9 kHz, +3 dB peaks at 1.7 and 6 kHz, a
// broad -10 dB dip round 3 kHz and a -10 dB cut at 9 kHz: the library's fixed
// tonal correction of the binaural signal.
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

// Bass enhancer: the 70 Hz band-pass output y, scaled by 0.05 and given a
// cubic term that thickens louder bass; the cubic term is bounded by clamping
// its argument to +-2. ORV_REALTIME.
inline float BassEnhance(float y) noexcept {
  const float scaled = 0.05f * y;
  const float h = std::clamp(scaled, -2.0f, 2.0f);
  return scaled + 0.875f * (h * h * h);
}

// The six bands over interleaved stereo. Frame by frame, each band waits for
// the one before it; the 4-wide path runs them as a pipeline instead, band b
// working on frame i - b while band 0 takes frame i, two bands (both
// channels) to a vector: each band still performs its own frame's operations
// in order, so both paths give the same results to the bit.
class Equalizer {
 public:
  explicit Equalizer(float samplingRate);

  // Adds the equalised in (2n interleaved) to mainMix (2n). A frame with a
  // non-finite channel enters as silence; an overflow restarts the filters.
  // in and mainMix must not overlap. ORV_REALTIME.
  void Process(const float* in, float* mainMix, int numFrames) noexcept;
  // The same frame by frame (the scalar path beside the pipeline).
  void ProcessScalar(const float* in, float* mainMix, int numFrames) noexcept;

 private:
  // True when every band's state is zero or a residue within ±kQuietLevel.
  bool IsQuietState() const noexcept;
  // Up to kChunk frames through the pipeline; false (and nothing changed)
  // when an output was not finite, which the frame-by-frame path handles.
  bool ProcessPipelined(const float* in, float* mainMix, int numFrames) noexcept;
  static constexpr int kChunk = 256;

  std::array<DualBiquadFilter, kNumEqualizerBands> bands;
};

// The 70 Hz band-pass and its saturation, added equally to both channels.
class BassEnhancer {
 public:
  explicit BassEnhancer(float samplingRate);

  // Adds the enhanced bass of dryMonoSum (n) to both channels of mainMix
  // (2n interleaved). ORV_REALTIME.
  void Process(const float* dryMonoSum, float* mainMix, int numFrames) noexcept;

 private:
  SingleBiquadFilter filter;
};

}  // namespace orv
