// The master limiter: a linked stereo peak limiter at full scale with
// instantaneous attack, no look-ahead and a one-second exponential release.
// Whatever the mix does, its output never exceeds 1.0 in magnitude.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace orv {

template <std::size_t numChannels>
class Compressor {
 public:
  explicit Compressor(float samplingRate)
      : coef(std::exp(-1.0f / samplingRate)), oneMinusCoef(1.0f - coef) {}

  // One frame in, one out. ORV_REALTIME.
  std::array<float, numChannels> ProcessSample(std::array<float, numChannels> in) noexcept {
    std::array<float, numChannels> out;
    float peak = 0.0f;
    for (std::size_t k = 0; k < numChannels; ++k) {
      // NaN counts as silence so that it can never enter the gain.
      float v = std::isnan(in[k]) ? 0.0f : in[k];
      v *= gain;
      out[k] = v;
      if (std::fabs(v) > peak) peak = std::fabs(v);
    }
    if (peak > 1.0f) {
      const float r = 1.0f / peak;
      for (auto& v : out) v *= r;
      gain = r * gain;
    }
    gain = gain * coef + oneMinusCoef;
    return out;
  }

  float GetGain() const { return gain; }
  float GetCoef() const { return coef; }

 private:
  float coef;
  float oneMinusCoef;
  float gain = 1.0f;
};

}  // namespace orv
