#include "Levels.h"

#include <cmath>
#include <limits>

namespace orvrender {

Levels::Levels(int channels) : peak(channels, 0.0), sumOfSquares(channels, 0.0) {}

void Levels::Add(const float* interleaved, std::int64_t count) {
  const int channels = Channels();
  for (std::int64_t i = 0; i < count; ++i) {
    for (int c = 0; c < channels; ++c) {
      const double x = interleaved[i * channels + c];
      if (!std::isfinite(x)) {
        ++nonFinite;
        continue;
      }
      const double a = std::fabs(x);
      if (a > 1.0) ++beyondFullScale;
      if (a > peak[c]) peak[c] = a;
      sumOfSquares[c] += x * x;
    }
  }
  frames += count;
}

double Levels::Rms(int channel) const {
  return frames > 0 ? std::sqrt(sumOfSquares[channel] / static_cast<double>(frames)) : 0.0;
}

double Levels::Decibels(double x) {
  return x > 0.0 ? 20.0 * std::log10(x) : -std::numeric_limits<double>::infinity();
}

}  // namespace orvrender
