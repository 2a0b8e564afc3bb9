#include "dsp/OrvResampler.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/OrvException.h"

namespace orv {

namespace {

// The pass band ends a little below the lower Nyquist frequency so that the
// transition band lies below it: nothing folds back when decimating, and no
// image of the source spectrum appears when interpolating.
constexpr double kPassFraction = 0.94;
// Zero crossings of the sinc on each side; with the window below this gives a
// transition band of about 4 % of the lower rate and more than 90 dB of
// rejection beyond it (44.1 to 48 kHz: flat to 20 kHz, -95 dB at 21.8 kHz).
constexpr double kZeroCrossings = 64.0;
constexpr double kKaiserBeta = 9.5;

// Modified Bessel function of the first kind, order 0, by its power series.
double BesselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  const double half = x / 2.0;
  for (int k = 1; k < 500; ++k) {
    term *= (half / k) * (half / k);
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

}  // namespace

Resampler::Resampler(double sourceRate, double targetRate)
    : sourceRate(sourceRate), targetRate(targetRate) {
  if (!(sourceRate > 0.0) || !std::isfinite(sourceRate) || !(targetRate > 0.0) ||
      !std::isfinite(targetRate)) {
    throw Exception("invalid sampling rates %g Hz and %g Hz", sourceRate, targetRate);
  }
  step = sourceRate / targetRate;
  cutoff = 0.5 * std::min(1.0, targetRate / sourceRate) * kPassFraction;
  halfWidth = kZeroCrossings / (2.0 * cutoff);
}

double Resampler::CutoffFrequency() const { return cutoff * sourceRate; }

bool Resampler::IsExactShift(double delay) const {
  return sourceRate == targetRate && delay == std::round(delay);
}

double Resampler::Kernel(double t) const {
  const double u = t / halfWidth;
  if (u <= -1.0 || u >= 1.0) return 0.0;
  const double x = 2.0 * cutoff * t;
  const double sinc = x == 0.0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
  static const double kWindowScale = 1.0 / BesselI0(kKaiserBeta);
  const double window = BesselI0(kKaiserBeta * std::sqrt(1.0 - u * u)) * kWindowScale;
  return sinc * window;
}

Resampler::Plan Resampler::MakePlan(double delay, long firstOutput,
                                    std::size_t outputLength) const {
  if (!std::isfinite(delay)) throw Exception("the delay is not finite");
  Plan plan;
  plan.firstIndex.resize(outputLength);
  plan.weights.resize(outputLength);
  if (IsExactShift(delay)) {
    const long shift = std::lround(delay);
    for (std::size_t j = 0; j < outputLength; ++j) {
      plan.firstIndex[j] = firstOutput + long(j) - shift;
      plan.weights[j] = {1.0};
      plan.floatWeights.push_back({1.0f});
    }
    return plan;
  }
  plan.scale = step;
  for (std::size_t j = 0; j < outputLength; ++j) {
    const double t = double(firstOutput + long(j)) * step - delay;  // in source samples
    const long first = long(std::ceil(t - halfWidth));
    const long last = long(std::floor(t + halfWidth));
    std::vector<double>& w = plan.weights[j];
    w.resize(std::size_t(last - first + 1));
    double sum = 0.0;
    for (long n = first; n <= last; ++n) {
      w[std::size_t(n - first)] = Kernel(t - double(n));
      sum += w[std::size_t(n - first)];
    }
    // Unit gain at DC for every phase removes the window's ripple from the
    // interpolation of slowly varying signals.
    for (double& v : w) v /= sum;
    plan.firstIndex[j] = first;
  }
  plan.floatWeights.resize(outputLength);
  for (std::size_t j = 0; j < outputLength; ++j)
    plan.floatWeights[j].assign(plan.weights[j].begin(), plan.weights[j].end());
  return plan;
}

std::vector<double> Resampler::Plan::Apply(const std::vector<double>& input) const {
  std::vector<double> output(firstIndex.size(), 0.0);
  const long inputLength = long(input.size());
  for (std::size_t k = 0; k < firstIndex.size(); ++k) {
    const std::vector<double>& w = weights[k];
    double sum = 0.0;
    for (std::size_t j = 0; j < w.size(); ++j) {
      const long n = firstIndex[k] + long(j);
      if (n >= 0 && n < inputLength) sum += w[j] * input[std::size_t(n)];
    }
    output[k] = sum * scale;
  }
  return output;
}

void Resampler::Plan::Apply(const float* input, std::size_t inputLength, float* output) const {
  const long length = long(inputLength);
  const float gain = static_cast<float>(scale);
  for (std::size_t k = 0; k < firstIndex.size(); ++k) {
    const std::vector<float>& w = floatWeights[k];
    // Only the weights that meet the input: the rest multiply zeros.
    const long first = std::max(firstIndex[k], 0L);
    const long last = std::min(firstIndex[k] + long(w.size()), length);
    const float* weight = w.data() - firstIndex[k];
    // Eight partial sums, which the compiler keeps in one vector register: a
    // set of a few hundred responses at a high rate waits on this loop.
    float sums[8] = {};
    long n = first;
    for (; n + 8 <= last; n += 8)
      for (int j = 0; j < 8; ++j) sums[j] += weight[n + j] * input[n + j];
    for (; n < last; ++n) sums[0] += weight[n] * input[n];
    const float total =
        ((sums[0] + sums[4]) + (sums[1] + sums[5])) + ((sums[2] + sums[6]) + (sums[3] + sums[7]));
    output[k] = total * gain;
  }
}

Resampler::Range Resampler::OutputRange(std::size_t inputLength, double delay) const {
  if (inputLength == 0) return {};
  const double reach = IsExactShift(delay) ? 0.0 : halfWidth;
  // Outputs strictly inside the kernel's reach of the first and last input.
  const long first = long(std::floor((delay - reach) / step)) + 1;
  const long last = long(std::ceil((double(inputLength - 1) + delay + reach) / step)) - 1;
  if (IsExactShift(delay)) return {long(std::lround(delay)), inputLength};
  return {first, std::size_t(std::max(last - first + 1, 0L))};
}

}  // namespace orv
