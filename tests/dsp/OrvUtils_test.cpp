#include "dsp/OrvUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

#include "common/OrvTestUtil.h"
#include "dsp/OrvDspTestUtil.h"

namespace {

using orv::AllpassFilter1;
using orv::BiquadFilter;
using orv::DualBiquadFilter;
using orv::ExactDelayLine;
using orv::SingleBiquadFilter;
using orvtest::dsp::Literal;
using orvtest::dsp::ReferenceBiquad;

// H(e^jw) from the stored float coefficients, evaluated in double.
std::complex<double> StoredResponse(const BiquadFilter& f, double w) {
  const std::complex<double> z1 = std::polar(1.0, -w);
  const std::complex<double> z2 = z1 * z1;
  return (static_cast<double>(f.b0) + static_cast<double>(f.b1) * z1 +
          static_cast<double>(f.b2) * z2) /
         (1.0 - static_cast<double>(f.na1) * z1 - static_cast<double>(f.na2) * z2);
}

double Db(double magnitude) { return 20.0 * std::log10(magnitude); }

// Rounding the coefficients to float moves the response: by a few thousandths
// of a dB for the sharp bands at 44.1-48 kHz, by up to ~0.02 dB for low
// centre frequencies at high rates, where the poles lie within 1e-3 of z = 1.
// A wrong design term moves it by decibels.
constexpr double kDesignToleranceDb = 0.04;

struct PeakingCase {
  float frequency, gain, q;
};
// The engine's six bands and a few others.
constexpr PeakingCase kPeakingCases[] = {{380, 0.1f, 16},   {7900, 0.4f, 7}, {1700, 1.4f, 7},
                                         {6000, 1.4f, 7},   {3000, 0.3f, 1}, {9000, 0.3f, 10},
                                         {100, 4.0f, 0.7f}, {15000, 2.0f, 2}};

class Designed final : public BiquadFilter {};

// --- Designs -------------------------------------------------------------------------

TEST(BiquadDesign, PeakingMatchesTheCookbookResponse) {
  for (const double rate : {44100.0, 48000.0, 96000.0}) {
    for (const auto& c : kPeakingCases) {
      Designed f;
      f.PeakingEQ(static_cast<float>(rate), c.frequency, c.gain, c.q);
      const ReferenceBiquad ref = ReferenceBiquad::Peaking(rate, c.frequency, c.gain, c.q);
      const double w0 = 2.0 * M_PI * c.frequency / rate;
      // Closed form at the centre: the linear gain itself.
      EXPECT_NEAR(Db(std::abs(StoredResponse(f, w0))), Db(c.gain), kDesignToleranceDb)
          << rate << " " << c.frequency;
      for (const double hz : {20.0, 100.0, 0.5 * c.frequency, 0.9 * c.frequency, 1.1 * c.frequency,
                              2.0 * c.frequency, 12000.0, 0.45 * rate}) {
        if (hz >= 0.5 * rate) continue;
        const double w = 2.0 * M_PI * hz / rate;
        EXPECT_NEAR(Db(std::abs(StoredResponse(f, w))), Db(std::abs(ref.Response(w))),
                    kDesignToleranceDb)
            << "rate " << rate << " band " << c.frequency << " at " << hz;
      }
    }
  }
}

TEST(BiquadDesign, BandpassMatchesTheCookbookResponse) {
  for (const double rate : {8000.0, 48000.0, 192000.0}) {
    for (const auto& [frequency, q] :
         {std::pair{70.0f, 0.4f}, std::pair{1000.0f, 2.0f}, std::pair{3000.0f, 0.7f}}) {
      Designed f;
      f.BandpassFilter(static_cast<float>(rate), frequency, q);
      const ReferenceBiquad ref = ReferenceBiquad::Bandpass(rate, frequency, q);
      EXPECT_NEAR(std::abs(StoredResponse(f, 2.0 * M_PI * frequency / rate)), 1.0, 1e-4);
      for (const double hz : {10.0, 35.0, 140.0, 500.0, 2000.0, 3500.0}) {
        if (hz >= 0.5 * rate) continue;
        const double w = 2.0 * M_PI * hz / rate;
        EXPECT_NEAR(Db(std::abs(StoredResponse(f, w))), Db(std::abs(ref.Response(w))),
                    kDesignToleranceDb)
            << "rate " << rate << " centre " << frequency << " at " << hz;
      }
      EXPECT_EQ(f.b1, 0.0f);
      EXPECT_EQ(f.b2, -f.b0);
    }
  }
}

TEST(BiquadDesign, PeakingWithUnitGainIsAUnitFilter) {
  for (const auto& c : kPeakingCases) {
    Designed f;
    f.PeakingEQ(48000.0f, c.frequency, 1.0f, c.q);
    // b = a: numerator and denominator share every term up to the rounding of
    // (1 + α)·(1 / (1 + α)) in b0.
    EXPECT_EQ(f.b1, -f.na1);
    EXPECT_EQ(f.b2, -f.na2);
    EXPECT_NEAR(f.b0, 1.0f, 2.5e-7f);
    for (const double hz : {50.0, 1000.0, 10000.0, 20000.0})
      EXPECT_NEAR(std::abs(StoredResponse(f, 2.0 * M_PI * hz / 48000.0)), 1.0, 1e-5);
  }
}

TEST(BiquadDesign, DesignKeepsTheStateAndStartsAsUnit) {
  SingleBiquadFilter f;
  EXPECT_EQ(f.Process(0.75f), 0.75f);  // unit filter before any design
  f.BandpassFilter(48000.0f, 1000.0f, 1.0f);
  EXPECT_EQ(f.x1, 0.75f);
  EXPECT_EQ(f.y1, 0.75f);
}

// --- Per-sample steps ------------------------------------------------------------------

TEST(BiquadProcess, SineComesOutScaledByTheResponse) {
  // Steady-state amplitude of a sine through the recurrence versus |H(e^jw)|.
  constexpr double kRate = 48000.0;
  SingleBiquadFilter f;
  f.PeakingEQ(48000.0f, 1700.0f, 1.4f, 7.0f);
  for (const double hz : {300.0, 1500.0, 1700.0, 2000.0, 8000.0}) {
    f.Mute();
    const std::vector<float> in = orvtest::Sine(96000, hz, kRate);
    std::vector<float> out(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) out[i] = f.Process(in[i]);
    const std::size_t settle = 48000;  // the filter rings down within ~10 ms
    const double gain = orvtest::Rms(out.data() + settle, out.size() - settle) /
                        orvtest::Rms(in.data() + settle, in.size() - settle);
    const ReferenceBiquad ref = ReferenceBiquad::Peaking(kRate, 1700.0, 1.4, 7.0);
    constexpr double kMeasureTolerance = 1e-3;  // RMS over a non-integer number of periods
    EXPECT_NEAR(gain, std::abs(ref.Response(2.0 * M_PI * hz / kRate)), kMeasureTolerance) << hz;
  }
}

TEST(BiquadProcess, StereoChannelsMatchTheMonoFilterExactly) {
  SingleBiquadFilter left, right;
  DualBiquadFilter dual, dualScalar;
  for (BiquadFilter* f : std::initializer_list<BiquadFilter*>{&left, &right, &dual, &dualScalar})
    f->PeakingEQ(44100.0f, 380.0f, 0.1f, 16.0f);
  const std::vector<float> l = orvtest::Noise(5000, 1), r = orvtest::Noise(5000, 2);
  for (std::size_t i = 0; i < l.size(); ++i) {
    float a = l[i], b = r[i];
    dual.Process(a, b);
    float c = l[i], d = r[i];
    dualScalar.ProcessScalar(c, d);
    const float el = left.Process(l[i]);
    const float er = right.Process(r[i]);
    // Same operations in the same order: bit-identical.
    ASSERT_EQ(a, el) << i;
    ASSERT_EQ(b, er) << i;
    ASSERT_EQ(c, el) << i;
    ASSERT_EQ(d, er) << i;
  }
}

#if defined(ORV_HAVE_SIMD4)
TEST(BiquadProcess, VectorAndScalarStereoStepsAgree) {
  DualBiquadFilter vector, scalar;
  vector.BandpassFilter(16000.0f, 70.0f, 0.4f);
  scalar.BandpassFilter(16000.0f, 70.0f, 0.4f);
  const std::vector<float> l = orvtest::Noise(3000, 5, 3.0f), r = orvtest::Noise(3000, 6, 3.0f);
  for (std::size_t i = 0; i < l.size(); ++i) {
    float a = l[i], b = r[i], c = l[i], d = r[i];
    vector.ProcessVector(a, b);
    scalar.ProcessScalar(c, d);
    ASSERT_EQ(a, c) << i;
    ASSERT_EQ(b, d) << i;
  }
}
#endif

TEST(BiquadProcess, MuteClearsTheHistoryOnly) {
  SingleBiquadFilter used, fresh;
  DualBiquadFilter usedDual, freshDual;
  for (BiquadFilter* f : std::initializer_list<BiquadFilter*>{&used, &fresh, &usedDual, &freshDual})
    f->PeakingEQ(48000.0f, 3000.0f, 0.3f, 1.0f);
  for (const float x : orvtest::Noise(100, 9)) {
    used.Process(x);
    float a = x, b = -x;
    usedDual.Process(a, b);
  }
  used.Mute();
  usedDual.Mute();
  EXPECT_EQ(used.b0, fresh.b0);
  for (int i = 0; i < 64; ++i) {
    const float x = i == 0 ? 1.0f : 0.0f;
    ASSERT_EQ(used.Process(x), fresh.Process(x)) << i;
    float a = x, b = 2 * x, c = x, d = 2 * x;
    usedDual.Process(a, b);
    freshDual.Process(c, d);
    ASSERT_EQ(a, c) << i;
    ASSERT_EQ(b, d) << i;
  }
}

// --- All-pass --------------------------------------------------------------------------

TEST(AllpassFilter1, ImpulseResponseOfTheOneSampleAllpass) {
  constexpr float g = 0.6f;
  AllpassFilter1 f(1, g);
  EXPECT_FLOAT_EQ(f.Process(1.0f), g);
  EXPECT_FLOAT_EQ(f.Process(0.0f), 1.0f - g * g);
  EXPECT_FLOAT_EQ(f.Process(0.0f), -g * (1.0f - g * g));
  EXPECT_FLOAT_EQ(f.Process(0.0f), g * g * (1.0f - g * g));
}

// Direct DFT (long double) of an impulse response at w.
std::complex<long double> Dft(const std::vector<float>& h, long double w) {
  std::complex<long double> sum = 0;
  for (std::size_t n = 0; n < h.size(); ++n)
    sum += static_cast<long double>(h[n]) * std::polar(1.0L, -w * static_cast<long double>(n));
  return sum;
}

TEST(AllpassFilter1, MagnitudeIsOneAtEveryFrequency) {
  // The engine's diffuser: each stage and the whole chain.
  const std::pair<int, float> stages[] = {{7, 0.3f}, {37, 0.2f}, {97, 0.1f}, {157, 0.1f},
                                          {1, 0.6f}, {3, 0.6f},  {5, 0.6f},  {55, 0.6f}};
  constexpr std::size_t kLength = 8192;      // every response has decayed below 1e-20 by then
  constexpr long double kTolerance = 1e-5L;  // float recursion over thousands of steps
  std::vector<AllpassFilter1> chain;
  for (const auto& [delay, coef] : stages) {
    AllpassFilter1 f(delay, coef);
    chain.emplace_back(delay, coef);
    std::vector<float> h(kLength);
    for (std::size_t i = 0; i < kLength; ++i) h[i] = f.Process(i == 0 ? 1.0f : 0.0f);
    for (int k = 0; k <= 64; ++k) {
      const long double w = M_PI * k / 64.0L;
      const std::complex<long double> measured = Dft(h, w);
      // Closed form (g + z^-N) / (1 + g z^-N).
      const std::complex<long double> zn = std::polar(1.0L, -w * delay);
      const long double g = coef;
      const std::complex<long double> expected = (g + zn) / (1.0L + g * zn);
      EXPECT_NEAR(std::abs(measured), 1.0L, kTolerance) << delay << " at " << k;
      EXPECT_NEAR(std::abs(measured - expected), 0.0L, kTolerance) << delay << " at " << k;
    }
  }
  std::vector<float> h(kLength);
  for (std::size_t i = 0; i < kLength; ++i) {
    float y = i == 0 ? 1.0f : 0.0f;
    for (auto& f : chain) y = f.Process(y);
    h[i] = y;
  }
  for (int k = 0; k <= 64; ++k)
    EXPECT_NEAR(std::abs(Dft(h, M_PI * k / 64.0L)), 1.0L, 8 * kTolerance) << k;
}

TEST(AllpassFilter1, BlocksMatchTheSampleSteps) {
  // Every diffuser delay, irregular blocks on a misaligned buffer, both
  // block paths: the same operations as the per-sample step.
  const int kBlockSizes[] = {1, 3, 100, 512, 4, 61};
  const std::vector<float> in = orvtest::Noise(5000, 19);
  for (const int delay : {1, 3, 5, 7, 37, 55, 97, 157}) {
    for (const bool useVector : {true, false}) {
      AllpassFilter1 blocks(delay, 0.6f), steps(delay, 0.6f);
      std::vector<float> data(1, 0.0f);  // one float ahead: a misaligned start
      data.insert(data.end(), in.begin(), in.end());
      std::size_t done = 0;
      for (std::size_t k = 0; done < in.size(); ++k) {
        const int n = static_cast<int>(std::min<std::size_t>(kBlockSizes[k % 6], in.size() - done));
        float* p = data.data() + 1 + done;
        useVector ? blocks.ProcessBlock(p, n) : blocks.ProcessBlockScalar(p, n);
        for (int i = 0; i < n; ++i)
          ASSERT_EQ(p[i], steps.Process(in[done + i])) << "delay " << delay << " i " << done + i;
        done += static_cast<std::size_t>(n);
      }
    }
  }
}

// --- Delay lines ------------------------------------------------------------------------

TEST(ExactDelayLine, BlocksMatchTheSampleSteps) {
  // Blocks shorter and longer than the ring, delays changed between blocks,
  // and the silence it reports once zeros have filled the ring.
  const int kBlockSizes[] = {1, 3, 50, 200, 17};
  std::vector<float> in = orvtest::Noise(3000, 20);
  std::fill(in.begin() + 2000, in.end(), 0.0f);
  for (const int d : {0, 1, 7, 99}) {
    ExactDelayLine blocks(static_cast<float>(d), 100.0f), steps(static_cast<float>(d), 100.0f);
    std::vector<float> out(in.size());
    std::size_t done = 0;
    for (std::size_t k = 0; done < in.size(); ++k) {
      if (k == 20) {
        blocks.SetDelay((d + 50) % 100);
        steps.SetDelay((d + 50) % 100);
      }
      const int n = static_cast<int>(std::min<std::size_t>(kBlockSizes[k % 5], in.size() - done));
      blocks.ProcessBlock(in.data() + done, out.data() + done, n);
      for (int i = 0; i < n; ++i)
        ASSERT_EQ(out[done + i], steps.Process(in[done + i])) << "d " << d << " i " << done + i;
      done += static_cast<std::size_t>(n);
    }
    EXPECT_TRUE(blocks.IsQuiet()) << "a thousand zeros fill the ring of 100";
    EXPECT_FALSE(blocks.IsSilent()) << "until cleared";
  }
}

TEST(ExactDelayLine, ReturnsTheInputDSamplesLater) {
  const std::vector<float> in = orvtest::Noise(1000, 4);
  for (const int d : {0, 1, 7, 63, 99}) {
    ExactDelayLine line(static_cast<float>(d), 100.0f);
    EXPECT_EQ(line.GetDelay(), d);
    for (std::size_t i = 0; i < in.size(); ++i) {
      const float expected = i >= static_cast<std::size_t>(d) ? in[i - d] : 0.0f;
      ASSERT_EQ(line.Process(in[i]), expected) << "d " << d << " i " << i;
    }
  }
}

TEST(ExactDelayLine, ChangingTheDelayKeepsTheRing) {
  const std::vector<float> in = orvtest::Noise(300, 8);
  ExactDelayLine line(2.0f, 50.0f);
  for (std::size_t i = 0; i < 200; ++i) line.Process(in[i]);
  line.SetDelay(30.9f);  // rounds down
  EXPECT_EQ(line.GetDelay(), 30);
  for (std::size_t i = 200; i < in.size(); ++i) ASSERT_EQ(line.Process(in[i]), in[i - 30]) << i;
  line.SetDelay(49);
  EXPECT_EQ(line.GetDelay(), 49);
  EXPECT_EQ(line.GetSize(), 50);
}

TEST(ExactDelayLine, SizeAndDelayAreRoundedDown) {
  ExactDelayLine line(0.0f, 10.9f);
  EXPECT_EQ(line.GetSize(), 10);
  EXPECT_EQ(line.delay, 1);
  EXPECT_EQ(line.Process(0.25f), 0.25f);  // d = 0 returns the sample just written
  line.SetDelay(9);
}

TEST(ExactDelayLineDeathTest, DelaysOutsideTheRingStop) {
  orvtest::UseThreadsafeDeathTests();
  ExactDelayLine line(0.0f, 10.0f);
  EXPECT_DEATH(line.SetDelay(10),
               Literal("(this->delay <= this->size), function SetDelay, file OrvUtils"));
  EXPECT_DEATH(line.SetDelay(-1), Literal("(this->delay > 0), function SetDelay, file OrvUtils"));
  EXPECT_DEATH(line.SetDelay(-0.5f), Literal("(this->delay > 0)"));  // floor(-0.5) = -1
  EXPECT_DEATH(line.SetDelay(1e20f), Literal("(this->delay <= this->size)"));
  EXPECT_DEATH(line.SetDelay(std::nanf("")), Literal("(this->delay > 0)"));
}

}  // namespace
