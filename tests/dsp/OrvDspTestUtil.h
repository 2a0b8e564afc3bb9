// Helpers shared by the filter and reverb tests: exact-text death-test
// patterns, a double-precision reference biquad and a reverberation-time
// measurement from the energy decay of an impulse response.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <string>
#include <vector>

namespace orvtest::dsp {

// A death-test pattern matching text literally (the assertion's expression).
inline std::string Literal(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

// Cookbook coefficients computed independently of the library, in double.
struct ReferenceBiquad {
  double b0, b1, b2, a0, a1, a2;

  static ReferenceBiquad Peaking(double fs, double f0, double gain, double q) {
    const double w0 = 2.0 * M_PI * f0 / fs;
    const double alpha = std::sin(w0) / (2.0 * q);
    const double a = std::sqrt(gain);
    return {1.0 + alpha * a, -2.0 * std::cos(w0), 1.0 - alpha * a,
            1.0 + alpha / a, -2.0 * std::cos(w0), 1.0 - alpha / a};
  }
  static ReferenceBiquad Bandpass(double fs, double f0, double q) {
    const double w0 = 2.0 * M_PI * f0 / fs;
    const double alpha = std::sin(w0) / (2.0 * q);
    return {alpha, 0.0, -alpha, 1.0 + alpha, -2.0 * std::cos(w0), 1.0 - alpha};
  }

  std::complex<double> Response(double w) const {
    const std::complex<double> z1 = std::polar(1.0, -w);
    const std::complex<double> z2 = z1 * z1;
    return (b0 + b1 * z1 + b2 * z2) / (a0 + a1 * z1 + a2 * z2);
  }
};

// Direct-form filter in double, used to pick a band out of a response.
class DoubleFilter {
 public:
  explicit DoubleFilter(const ReferenceBiquad& c)
      : b0(c.b0 / c.a0), b1(c.b1 / c.a0), b2(c.b2 / c.a0), a1(c.a1 / c.a0), a2(c.a2 / c.a0) {}
  double Process(double x) {
    const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
  }

 private:
  double b0, b1, b2, a1, a2;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
};

// Reverberation time from the backward-integrated energy (Schroeder) of a
// response: least-squares slope of the decay curve between fromDb and toDb,
// extrapolated to 60 dB. energy[i] is the instantaneous energy at sample i.
// Returns NaN when the curve never reaches toDb.
inline double MeasureDecayTime(const std::vector<double>& energy, double samplingRate,
                               double fromDb = -5.0, double toDb = -35.0) {
  std::vector<double> curve(energy.size());
  double sum = 0.0;
  for (std::size_t i = energy.size(); i-- > 0;) {
    sum += energy[i];
    curve[i] = sum;
  }
  if (sum <= 0.0) return NAN;
  const double total = curve[0];
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  std::size_t count = 0;
  bool reached = false;
  for (std::size_t i = 0; i < curve.size(); ++i) {
    const double db = 10.0 * std::log10(curve[i] / total);
    if (db > fromDb) continue;
    if (db < toDb) {
      reached = true;
      break;
    }
    const double t = static_cast<double>(i) / samplingRate;
    sx += t;
    sy += db;
    sxx += t * t;
    sxy += t * db;
    ++count;
  }
  if (!reached || count < 2) return NAN;
  const double n = static_cast<double>(count);
  const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);  // dB per second
  return -60.0 / slope;
}

}  // namespace orvtest::dsp
