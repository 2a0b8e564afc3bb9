#include "dsp/OrvUtils.h"

#include <climits>
#include <cmath>

#include "common/OrvAssert.h"

namespace orv {

namespace {

// w0 = 2π·f/fs in double, rounded once to float; sin and cos then in float.
struct DesignAngle {
  float sw;
  float cw;
};

DesignAngle MakeAngle(float samplingRate, float frequency) {
  const float w0 = static_cast<float>(6.283185307179586 * static_cast<double>(frequency) /
                                      static_cast<double>(samplingRate));
  return {std::sin(w0), std::cos(w0)};
}

}  // namespace

void BiquadFilter::PeakingEQ(float samplingRate, float frequency, float gain, float q) {
  const auto [sw, cw] = MakeAngle(samplingRate, frequency);
  const float alpha = sw / (q + q);
  const float a = std::sqrt(gain);
  const float inv = 1.0f / (1.0f + alpha / a);
  b0 = (1.0f + alpha * a) * inv;
  b1 = (-2.0f * cw) * inv;
  b2 = (1.0f - alpha * a) * inv;
  na1 = inv * (2.0f * cw);
  na2 = -(1.0f - alpha / a) * inv;
  Prepare();
}

void BiquadFilter::BandpassFilter(float samplingRate, float frequency, float q) {
  const auto [sw, cw] = MakeAngle(samplingRate, frequency);
  const float alpha = sw / (q + q);
  const float inv = 1.0f / (1.0f + alpha);
  b0 = alpha * inv;
  b1 = 0.0f * inv;
  b2 = -alpha * inv;
  na1 = inv * (2.0f * cw);
  na2 = -(1.0f - alpha) * inv;
  Prepare();
}

AllpassFilter1::AllpassFilter1(int delay, float coef)
    : inputHistory(delay > 0 ? delay : 0, 0.0f),
      outputHistory(delay > 0 ? delay : 0, 0.0f),
      size(delay),
      coef(coef) {
  // The ring index wraps at size: an empty ring would be read out of bounds.
  ORV_ASSERT(size > 0, "OrvUtils");
}

ExactDelayLine::ExactDelayLine(float delay, float size)
    : size(static_cast<int>(std::floor(size))) {
  ORV_ASSERT(this->size > 0, "OrvUtils");
  buffer.assign(static_cast<std::size_t>(this->size), 0.0f);
  SetDelay(delay);
}

void ExactDelayLine::SetDelay(float d) {
  const float f = std::floor(d);
  // Values beyond int (and NaN) must still fail the range checks, not wrap.
  int n;
  if (f >= -2147483648.0f && f < 2147483648.0f)
    n = static_cast<int>(f);
  else
    n = f > 0.0f ? size : -1;
  SetDelay(n);
}

void ExactDelayLine::SetDelay(int d) {
  // Unsigned increment: d = INT_MAX must fail the checks instead of overflowing.
  this->delay = static_cast<int>(static_cast<unsigned>(d) + 1u);
  ORV_ASSERT(this->delay <= this->size, "OrvUtils");
  ORV_ASSERT(this->delay > 0, "OrvUtils");
}

}  // namespace orv
