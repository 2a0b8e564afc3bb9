// The windowed-sinc resampler against closed forms: sines at the new rate,
// exact shifts, and the transfer function of a filter computed by a direct
// DTFT in long double.
#include "dsp/OrvResampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>

#include "common/OrvException.h"

namespace orv {
namespace {

// The Kaiser window (beta 9.5) holds the pass-band ripple near -90 dB; the
// per-phase DC normalisation leaves a little more at high frequencies.
constexpr double kPassBandTolerance = 1e-4;
// Rejection in the stop band, well above the window's side lobes.
constexpr double kStopBandTolerance = 1e-4;

std::vector<double> SineAt(double frequency, double rate, std::size_t length, double delay = 0.0) {
  std::vector<double> x(length);
  for (std::size_t n = 0; n < length; ++n) {
    x[n] = std::sin(2.0 * std::numbers::pi * frequency * (double(n) - delay) / rate + 0.3);
  }
  return x;
}

// Largest deviation from the expected sine, away from both ends where the
// kernel runs off the input.
double MaxSineError(const std::vector<double>& y, double frequency, double rate, double scale,
                    std::size_t margin, double delay = 0.0) {
  const std::vector<double> expected = SineAt(frequency, rate, y.size(), delay);
  double error = 0.0;
  for (std::size_t k = margin; k + margin < y.size(); ++k) {
    error = std::max(error, std::abs(y[k] - scale * expected[k]));
  }
  return error;
}

std::complex<long double> Dtft(const std::vector<double>& h, double frequency, double rate) {
  std::complex<long double> sum = 0.0L;
  const long double w = -2.0L * std::numbers::pi_v<long double> * frequency / rate;
  for (std::size_t n = 0; n < h.size(); ++n) {
    sum += (long double)h[n] * std::polar(1.0L, w * (long double)n);
  }
  return sum;
}

TEST(Resampler, EqualRatesWithWholeDelaysShiftExactly) {
  const Resampler same(48000.0, 48000.0);
  const std::vector<double> x = {0.5, -0.25, 0.125, 1.0, -1.0};
  EXPECT_TRUE(same.IsExactShift(0.0));
  EXPECT_EQ(same.MakePlan(0.0, 0, 5).Apply(x), x);
  EXPECT_EQ(same.MakePlan(2.0, 0, 8).Apply(x),
            (std::vector<double>{0.0, 0.0, 0.5, -0.25, 0.125, 1.0, -1.0, 0.0}));
  EXPECT_EQ(same.MakePlan(-1.0, 0, 4).Apply(x), (std::vector<double>{-0.25, 0.125, 1.0, -1.0}));
  EXPECT_EQ(same.MakePlan(2.0, 3, 3).Apply(x), (std::vector<double>{-0.25, 0.125, 1.0}));
  EXPECT_EQ(same.OutputRange(5, 2.0).first, 2);
  EXPECT_EQ(same.OutputRange(5, 2.0).length, 5u);
  EXPECT_FALSE(same.IsExactShift(0.5));
}

TEST(Resampler, UpsampledSinesMatchTheSineAtTheNewRate) {
  const Resampler up(44100.0, 48000.0);
  EXPECT_NEAR(up.CutoffFrequency(), 0.47 * 44100.0, 1e-9);
  const std::size_t length = 3000;
  const auto plan = up.MakePlan(0.0, 0, std::size_t(length * 48000.0 / 44100.0));
  for (double frequency : {50.0, 1000.0, 7000.0, 15000.0, 18000.0}) {
    const std::vector<double> y = plan.Apply(SineAt(frequency, 44100.0, length));
    // Scaled by 44100 / 48000: the transfer function, not the sample values, is kept.
    EXPECT_LT(MaxSineError(y, frequency, 48000.0, 44100.0 / 48000.0, 200), kPassBandTolerance)
        << frequency << " Hz";
  }
}

TEST(Resampler, DownsamplingPassesTheBandAndRejectsWhatWouldFold) {
  const Resampler down(96000.0, 48000.0);
  EXPECT_NEAR(down.CutoffFrequency(), 0.47 * 48000.0, 1e-9);
  const std::size_t length = 6000;
  const auto plan = down.MakePlan(0.0, 0, length / 2);
  for (double frequency : {440.0, 12000.0, 20000.0}) {
    const std::vector<double> y = plan.Apply(SineAt(frequency, 96000.0, length));
    EXPECT_LT(MaxSineError(y, frequency, 48000.0, 2.0, 200), 2.0 * kPassBandTolerance)
        << frequency << " Hz";
  }
  // 30 kHz would fold to 18 kHz; 25 kHz to 23 kHz.
  for (double frequency : {25000.0, 30000.0, 45000.0}) {
    const std::vector<double> y = plan.Apply(SineAt(frequency, 96000.0, length));
    double peak = 0.0;
    for (std::size_t k = 200; k + 200 < y.size(); ++k) peak = std::max(peak, std::abs(y[k]));
    EXPECT_LT(peak, 2.0 * kStopBandTolerance) << frequency << " Hz";
  }
}

TEST(Resampler, FractionalDelaysMoveTheSignal) {
  const Resampler same(48000.0, 48000.0);
  const std::size_t length = 2000;
  for (double delay : {0.5, 0.25, 3.75, -1.5}) {
    const std::vector<double> y =
        same.MakePlan(delay, 0, length).Apply(SineAt(3000.0, 48000.0, length));
    EXPECT_LT(MaxSineError(y, 3000.0, 48000.0, 1.0, 200, delay), kPassBandTolerance) << delay;
  }
  // Resampling and delay together: a delay counts in source samples.
  const Resampler up(44100.0, 48000.0);
  const std::vector<double> y = up.MakePlan(10.0, 0, 2000).Apply(SineAt(2000.0, 44100.0, 2000));
  EXPECT_LT(MaxSineError(y, 2000.0, 48000.0, 44100.0 / 48000.0, 200, 10.0 * 48000.0 / 44100.0),
            kPassBandTolerance);
}

TEST(Resampler, FiltersKeepTheirTransferFunction) {
  // A random 64-tap response that starts at full strength: its band-limited
  // version rings before the first sample, which the range must include.
  std::mt19937 random(1234);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> h(64);
  for (std::size_t n = 0; n < h.size(); ++n) {
    h[n] = uniform(random) * std::exp(-double(n) / 12.0);
  }
  for (double target : {48000.0, 96000.0, 32000.0}) {
    const Resampler resampler(44100.0, target);
    const Resampler::Range range = resampler.OutputRange(h.size(), 0.0);
    EXPECT_LT(range.first, 0);
    const std::vector<double> y = resampler.MakePlan(0.0, range.first, range.length).Apply(h);
    const double top = 0.9 * std::min(resampler.CutoffFrequency(), target / 2.0);
    long double rms = 0.0L;
    int count = 0;
    for (double f = 0.0; f <= 22050.0; f += 100.0, ++count) rms += std::norm(Dtft(h, f, 44100.0));
    rms = std::sqrt(rms / count);
    for (double f = 0.0; f <= top; f += 100.0) {
      // y[0] is output sample range.first: undo that offset in the phase.
      const std::complex<long double> shifted =
          Dtft(y, f, target) *
          std::polar(1.0L, -2.0L * std::numbers::pi_v<long double> * f * range.first / target);
      const long double error = std::abs(shifted - Dtft(h, f, 44100.0));
      EXPECT_LT(double(error / rms), kPassBandTolerance) << f << " Hz at " << target << " Hz";
    }
  }
}

TEST(Resampler, OutputRangeHoldsTheWholeResponse) {
  const Resampler up(44100.0, 48000.0);
  const std::vector<double> h = {1.0, -0.5, 0.25, 0.5};
  for (double delay : {0.0, 2.5, -3.25}) {
    const Resampler::Range range = up.OutputRange(h.size(), delay);
    const std::vector<double> wider =
        up.MakePlan(delay, range.first - 40, range.length + 80).Apply(h);
    for (std::size_t j = 0; j < 40; ++j) {
      EXPECT_EQ(wider[j], 0.0) << j;
      EXPECT_EQ(wider[wider.size() - 1 - j], 0.0) << j;
    }
    EXPECT_NE(wider[40], 0.0);
    EXPECT_NE(wider[40 + range.length - 1], 0.0);
  }
  EXPECT_EQ(up.OutputRange(0, 0.0).length, 0u);
}

TEST(Resampler, RejectsRatesThatAreNotPositive) {
  EXPECT_THROW(Resampler(0.0, 48000.0), Exception);
  EXPECT_THROW(Resampler(44100.0, -1.0), Exception);
  EXPECT_THROW(Resampler(std::nan(""), 48000.0), Exception);
  EXPECT_THROW(Resampler(44100.0, 48000.0).MakePlan(INFINITY, 0, 4), Exception);
}

}  // namespace
}  // namespace orv
