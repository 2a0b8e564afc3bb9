#include "dsp/OrvReverb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <thread>
#include <vector>

#include "common/OrvTestUtil.h"
#include "dsp/OrvDspTestUtil.h"

namespace {

using orv::FindNearestPrime;
using orv::Reverb;
using orvtest::dsp::DoubleFilter;
using orvtest::dsp::Literal;
using orvtest::dsp::MeasureDecayTime;
using orvtest::dsp::ReferenceBiquad;

bool IsPrimeNaive(long long n) {
  if (n < 2) return false;
  for (long long d = 2; d * d <= n; ++d)
    if (n % d == 0) return false;
  return true;
}

int NextPrimeNaive(long long n) {
  long long q = n < 2 ? 2 : n;
  while (!IsPrimeNaive(q)) ++q;
  return static_cast<int>(q);
}

struct LayerSetting {
  float size;
  float delayRange;
  float rt60Time;
  float hfFrequency;
  float hfRatio;
};

// The engine's three layers with its default room.
constexpr LayerSetting kLongLayer{0.036f, 1.65f, 3.0f, 8000.0f, 0.8f};
constexpr LayerSetting kMediumLayer{0.013f, 1.8f, 1.0f, 8000.0f, 0.95f};
constexpr LayerSetting kShortLayer{0.001f, 1.65f, 0.1f, 8000.0f, 0.9f};

constexpr double kAllRates[] = {8000, 11025, 16000, 22050, 44100, 48000, 96000, 192000, 384000};

void Apply(Reverb& reverb, const LayerSetting& s) {
  reverb.SetRT60Time(s.rt60Time);
  reverb.SetSize(s.size);
  reverb.SetDelayRange(s.delayRange);
  reverb.SetHFReverbTimeRatio(s.hfFrequency, s.hfRatio);
  reverb.Update();
}

void ExpectValidLines(const Reverb& reverb) {
  int prev = 0;
  for (int i = 0; i < Reverb::kNumLines; ++i) {
    const int p = reverb.GetLineDelay(i);
    EXPECT_TRUE(IsPrimeNaive(p)) << "line " << i << ": " << p;
    EXPECT_GT(p, prev) << "line " << i;
    EXPECT_LE(p, Reverb::kLineLength - 1) << "line " << i;
    prev = p;
  }
  EXPECT_GE(reverb.GetLpfCoef(), 0.0f);
  EXPECT_LE(reverb.GetLpfCoef(), 0.9f);
}

// --- Prime table -----------------------------------------------------------------

TEST(FindNearestPrime, SmallValuesAndPrimesThemselves) {
  EXPECT_EQ(FindNearestPrime(-7), 2);
  EXPECT_EQ(FindNearestPrime(0), 2);
  EXPECT_EQ(FindNearestPrime(1), 2);
  EXPECT_EQ(FindNearestPrime(2), 2);
  EXPECT_EQ(FindNearestPrime(3), 3);
  EXPECT_EQ(FindNearestPrime(4), 5);
  EXPECT_EQ(FindNearestPrime(3360), 3361);
  EXPECT_EQ(FindNearestPrime(3361), 3361);
  EXPECT_EQ(FindNearestPrime(32749), 32749);  // the longest line a ring holds
  EXPECT_EQ(FindNearestPrime(32750), 32771);
}

TEST(FindNearestPrime, MatchesTrialDivisionOverTheTableAndBeyond) {
  int expected = NextPrimeNaive(70000);
  for (int n = 70000; n >= -3; --n) {  // walking down: the answer for n is n or the one above
    if (IsPrimeNaive(n)) expected = n;
    if (n <= 2) expected = 2;
    ASSERT_EQ(FindNearestPrime(n), expected) << "n = " << n;
  }
  for (const int n : {65521, 65522, 100000, 1000003, 2147483000, 2147483646, 2147483647})
    EXPECT_EQ(FindNearestPrime(n), NextPrimeNaive(n)) << "n = " << n;
}

TEST(FindNearestPrime, ReverbsOnSeveralThreadsAgree) {
  // Two engines in one process update their reverbs from their own render
  // threads; the shared prime table must give both the same lines.
  auto work = [](std::vector<int>* delays) {
    Reverb reverb(48000.0);
    for (int round = 0; round < 50; ++round) {
      reverb.SetSize(0.001f + 0.002f * static_cast<float>(round));
      reverb.Update();
      for (int i = 0; i < Reverb::kNumLines; ++i) delays->push_back(reverb.GetLineDelay(i));
    }
  };
  std::vector<int> a, b;
  std::thread ta(work, &a), tb(work, &b);
  ta.join();
  tb.join();
  EXPECT_EQ(a, b);
}

// --- Design ------------------------------------------------------------------------

TEST(ReverbDesign, DefaultsAt48kHz) {
  Reverb reverb(48000.0);
  EXPECT_EQ(reverb.GetLineDelay(0), 3361);
  // Independent reference in double: ratio = 1.5^(1/16), mean delay ratio^8 · 0.07 s.
  const double meanDelay = std::pow(1.5, 0.5) * 0.07;
  const double gain = std::exp(-6.90775 * meanDelay / 2.3) * 0.25;
  constexpr double kFloatDesignTolerance = 1e-5;  // a few float roundings of exp and pow
  EXPECT_NEAR(reverb.GetGain(), gain, kFloatDesignTolerance * gain);
  EXPECT_NEAR(reverb.GetGain(), 0.1932, 5e-5);
  EXPECT_FLOAT_EQ(reverb.GetHFFrequency(), 4800.0f);
  ExpectValidLines(reverb);
  // The lengths spread over about (1 + delayRange)^(15/16).
  const double spread = static_cast<double>(reverb.GetLineDelay(15)) / reverb.GetLineDelay(0);
  EXPECT_NEAR(spread, std::pow(1.5, 15.0 / 16.0), 0.02);
}

TEST(ReverbDesign, TinySizeAt8kHzSkipsRepeatedPrimes) {
  Reverb reverb(8000.0);
  reverb.SetSize(0.0001f);
  reverb.SetDelayRange(0.5f);
  reverb.Update();
  const int expected[] = {2, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59};
  for (int i = 0; i < Reverb::kNumLines; ++i) EXPECT_EQ(reverb.GetLineDelay(i), expected[i]) << i;
}

TEST(ReverbDesign, ZeroRangeTakesConsecutivePrimes) {
  Reverb reverb(48000.0);
  reverb.SetDelayRange(0.0f);
  reverb.Update();
  EXPECT_EQ(reverb.GetLineDelay(0), 3361);
  EXPECT_EQ(reverb.GetLineDelay(1), 3371);
  EXPECT_EQ(reverb.GetLineDelay(2), 3373);
  EXPECT_EQ(reverb.GetLineDelay(3), 3389);
  for (int i = 1; i < Reverb::kNumLines; ++i)
    EXPECT_EQ(reverb.GetLineDelay(i), NextPrimeNaive(reverb.GetLineDelay(i - 1) + 1));
}

TEST(ReverbDesign, SettersClampAsDocumented) {
  Reverb reverb(48000.0);
  reverb.SetSize(0.0f);
  EXPECT_EQ(reverb.GetSize(), 0.0001f);
  reverb.SetSize(500.0f);
  EXPECT_EQ(reverb.GetSize(), 100.0f);
  reverb.SetRT60Time(0.0f);
  EXPECT_EQ(reverb.GetRT60Time(), 0.0001f);
  reverb.SetRT60Time(1000.0f);
  EXPECT_EQ(reverb.GetRT60Time(), 100.0f);
  reverb.SetDelayRange(500.0f);
  EXPECT_EQ(reverb.GetDelayRange(), 500.0f);
  reverb.SetHFReverbTimeRatio(1234.0f, 0.5f);
  EXPECT_EQ(reverb.GetHFFrequency(), 1234.0f);
  EXPECT_EQ(reverb.GetHFRatio(), 0.5f);
}

TEST(ReverbDesign, DampingMeetsItsTargetAtTheFrequency) {
  // The one-pole y += k(x - y) has |H(w)| = k / |1 - (1 - k) e^-jw|; where k is
  // not capped this must equal G = gain^(1/hfRatio) / gain.
  const LayerSetting settings[] = {{0.07f, 0.5f, 2.3f, 4800.0f, 0.8f},
                                   {0.036f, 1.65f, 3.0f, 8000.0f, 0.8f},
                                   {0.05f, 1.0f, 1.5f, 3000.0f, 0.6f},
                                   {0.02f, 0.3f, 0.5f, 12000.0f, 0.5f}};
  for (const auto& s : settings) {
    Reverb reverb(48000.0);
    Apply(reverb, s);
    const double k = reverb.GetLpfCoef();
    ASSERT_LT(k, 0.9) << "pick settings below the cap";
    const double w = 2.0 * M_PI * s.hfFrequency / 48000.0;
    const double magnitude = k / std::abs(1.0 - (1.0 - k) * std::polar(1.0, -w));
    const double gain = reverb.GetGain();
    const double target = std::pow(gain, 1.0 / s.hfRatio) / gain;
    constexpr double kTolerance = 1e-4;  // float evaluation of a well-conditioned formula
    EXPECT_NEAR(magnitude, target, kTolerance * target) << s.hfFrequency;
    // The tone correction has unit gain at 0 Hz.
    EXPECT_NEAR((1.0 - reverb.GetToneA()) * reverb.GetToneB(), 1.0, 1e-6);
  }
}

TEST(ReverbDesign, DampingCoefficientIsCappedAt0point9) {
  Reverb reverb(48000.0);
  Apply(reverb, {0.036f, 1.65f, 3.0f, 20000.0f, 0.99f});  // the formula gives more than 0.9
  EXPECT_EQ(reverb.GetLpfCoef(), 0.9f);
}

TEST(ReverbDesign, InvariantsHoldOverManySettings) {
  std::vector<float> r = orvtest::Noise(400, 7, 1.0f);
  for (std::size_t i = 0; i + 3 < r.size(); i += 4) {
    for (const double rate : {8000.0, 48000.0, 384000.0}) {
      Reverb reverb(rate);
      Apply(reverb,
            {0.0001f + 0.5f * std::fabs(r[i]), 3.0f * std::fabs(r[i + 1]),
             0.05f + 10.0f * std::fabs(r[i + 2]), 8000.0f, 0.3f + 0.65f * std::fabs(r[i + 3])});
      ExpectValidLines(reverb);
      EXPECT_TRUE(std::isfinite(reverb.GetToneB()));
    }
  }
}

// --- Failure handling --------------------------------------------------------------

TEST(ReverbDeathTest, SettersStopOnBadArguments) {
  orvtest::UseThreadsafeDeathTests();
  Reverb reverb(48000.0);
  EXPECT_DEATH(reverb.SetRT60Time(-1.0f),
               Literal("(seconds >= 0.f), function SetRT60Time, file OrvReverb"));
  EXPECT_DEATH(reverb.SetSize(std::nanf("")),
               Literal("(v >= 0.f), function SetSize, file OrvReverb"));
  EXPECT_DEATH(reverb.SetDelayRange(-0.5f), Literal("(v >= 0.f), function SetDelayRange"));
  EXPECT_DEATH(Reverb(-1.0), Literal("(samplingRate >= 0.0)"));
  EXPECT_DEATH(
      {
        reverb.SetHFReverbTimeRatio(8000.0f, 1.0f);  // G = 1: the design divides 0 by 0
        reverb.Update();
      },
      Literal("(lpfCoef >= 0.f), function Update, file OrvReverb"));
}

// --- Processing ----------------------------------------------------------------------

TEST(ReverbProcess, ImpulseTravelsLineZeroAndComesBackOnAllOutputs) {
  Reverb reverb(48000.0);
  const float toneA = reverb.GetToneA();
  const float toneB = reverb.GetToneB();
  const int loop = reverb.GetLineDelay(0) + 1;  // 3362 with the defaults
  ASSERT_EQ(loop, 3362);

  Reverb::Output out = reverb.ProcessSample(1.0f);
  EXPECT_FLOAT_EQ(out[0], toneB);
  EXPECT_FLOAT_EQ(out[2], -toneB);
  for (const int k : {1, 3, 4, 5, 6, 7}) EXPECT_EQ(out[k], 0.0f) << k;

  out = reverb.ProcessSample(0.0f);
  EXPECT_FLOAT_EQ(out[0], -toneA * toneB);
  EXPECT_FLOAT_EQ(out[2], toneA * toneB);

  for (int call = 2; call < loop; ++call) {
    out = reverb.ProcessSample(0.0f);
    for (int k = 0; k < Reverb::kNumOutputs; ++k)
      ASSERT_EQ(out[k], 0.0f) << "call " << call << " output " << k;
  }
  out = reverb.ProcessSample(0.0f);
  const float feedback = reverb.GetGain() * reverb.GetLpfCoef() * toneB;
  for (int k = 0; k < Reverb::kNumOutputs; ++k) EXPECT_FLOAT_EQ(out[k], feedback) << k;
}

#if defined(ORV_HAVE_SIMD4)
TEST(ReverbProcess, VectorAndScalarPathsAgree) {
  const std::vector<float> input = orvtest::Noise(40000, 11, 1.0f);
  Reverb vector(44100.0), scalar(44100.0), mixed(44100.0);
  for (Reverb* r : {&vector, &scalar, &mixed}) Apply(*r, kLongLayer);
  // Differences can only come from the order of float operations, which both
  // paths keep; allow a few ulps of the output scale in case a compiler fuses.
  constexpr float kTolerance = 1e-5f;
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (i == 20000)
      for (Reverb* r : {&vector, &scalar, &mixed}) Apply(*r, kMediumLayer);
    const Reverb::Output a = vector.ProcessSampleVector(input[i]);
    const Reverb::Output b = scalar.ProcessSampleScalar(input[i]);
    const Reverb::Output c =
        (i % 3 == 0) ? mixed.ProcessSampleScalar(input[i]) : mixed.ProcessSampleVector(input[i]);
    for (int k = 0; k < Reverb::kNumOutputs; ++k) {
      ASSERT_NEAR(a[k], b[k], kTolerance * (1.0f + std::fabs(b[k])))
          << "sample " << i << " out " << k;
      ASSERT_NEAR(c[k], b[k], kTolerance * (1.0f + std::fabs(b[k])))
          << "sample " << i << " out " << k;
    }
  }
}
#endif

TEST(ReverbProcess, BlocksMatchTheSampleSteps) {
  // Irregular blocks on misaligned pointers, lengths changing on ringing
  // lines (longer and shorter), against the per-sample steps; both block
  // paths. Same operations in the same order: within a few ulps.
  const int kBlockSizes[] = {1, 3, 100, 512, 4096, 7};
  const std::vector<float> input = orvtest::Noise(60001, 17, 1.0f);
  for (const bool useVector : {true, false}) {
    Reverb blocks(44100.0), steps(44100.0);
    for (Reverb* r : {&blocks, &steps}) Apply(*r, kLongLayer);
    std::vector<float> a(input.size() + 1), b(input.size() + 1);
    std::size_t done = 0;
    for (std::size_t k = 0; done < input.size(); ++k) {
      if (k == 12)
        for (Reverb* r : {&blocks, &steps}) Apply(*r, {0.05f, 1.0f, 2.0f, 8000.0f, 0.7f});
      if (k == 24)
        for (Reverb* r : {&blocks, &steps}) Apply(*r, kMediumLayer);
      const int n =
          static_cast<int>(std::min<std::size_t>(kBlockSizes[k % 6], input.size() - done));
      // Outputs 1 and 6, one float past an aligned start.
      if (useVector)
        blocks.ProcessBlock(input.data() + done, n, 1, a.data() + 1 + done, 6, b.data() + 1 + done);
      else
        blocks.ProcessBlockScalar(input.data() + done, n, 1, a.data() + 1 + done, 6,
                                  b.data() + 1 + done);
      for (int i = 0; i < n; ++i) {
        const Reverb::Output out = steps.ProcessSample(input[done + i]);
        constexpr float kTolerance = 1e-6f;
        ASSERT_NEAR(a[1 + done + i], out[1], kTolerance * (1.0f + std::fabs(out[1])))
            << "frame " << done + i << (useVector ? " vector" : " scalar");
        ASSERT_NEAR(b[1 + done + i], out[6], kTolerance * (1.0f + std::fabs(out[6])))
            << "frame " << done + i << (useVector ? " vector" : " scalar");
      }
      done += static_cast<std::size_t>(n);
    }
  }
}

TEST(ReverbProcess, AQuietTailIsSilencedAndSkipped) {
  // Once a tail has stayed below kQuietLevel for a whole ring, Silence makes
  // the reverb a fresh one: zeros in, zeros out, and new input rings exactly
  // as in a reverb that never played.
  constexpr int kBlock = 480;
  Reverb played(48000.0), fresh(48000.0);
  for (Reverb* r : {&played, &fresh}) Apply(*r, {0.036f, 1.65f, 0.05f, 8000.0f, 0.8f});
  std::vector<float> in(kBlock, 0.0f), left(kBlock), right(kBlock), l2(kBlock), r2(kBlock);
  in[0] = 1.0f;
  int blocks = 0;
  {
    orv::simd::ScopedFlushSubnormals flush;  // as the room runs it
    do {
      played.ProcessBlock(in.data(), kBlock, 0, left.data(), 2, right.data());
      in[0] = 0.0f;
    } while (!played.IsQuiet() && ++blocks < 1000);
  }
  ASSERT_TRUE(played.IsQuiet()) << "the tail must sink below the quiet level";
  EXPECT_FALSE(played.IsSilent()) << "the flushed recurrence leaves a residue";
  played.Silence();
  EXPECT_TRUE(played.IsSilent());
  played.ProcessBlock(in.data(), kBlock, 0, left.data(), 2, right.data());
  EXPECT_TRUE(played.IsSilent());
  EXPECT_EQ(orvtest::Rms(left.data(), kBlock), 0.0);
  const std::vector<float> burst = orvtest::Noise(kBlock, 18, 0.5f);
  for (int k = 0; k < 20; ++k) {
    played.ProcessBlock(burst.data(), kBlock, 0, left.data(), 2, right.data());
    fresh.ProcessBlock(burst.data(), kBlock, 0, l2.data(), 2, r2.data());
    ASSERT_EQ(left, l2) << k;
    ASSERT_EQ(right, r2) << k;
  }
}

// Energy of the impulse response summed over the eight outputs, optionally
// band-filtered (double precision) around bandFrequency.
std::vector<double> ImpulseEnergy(Reverb& reverb, double rate, std::size_t length,
                                  double bandFrequency, double q) {
  std::vector<DoubleFilter> bands(Reverb::kNumOutputs,
                                  DoubleFilter(ReferenceBiquad::Bandpass(rate, bandFrequency, q)));
  std::vector<double> energy(length);
  for (std::size_t i = 0; i < length; ++i) {
    const Reverb::Output out = reverb.ProcessSample(i == 0 ? 1.0f : 0.0f);
    double e = 0.0;
    for (int k = 0; k < Reverb::kNumOutputs; ++k) {
      const double v = bands[k].Process(out[k]);
      e += v * v;
    }
    energy[i] = e;
  }
  return energy;
}

TEST(ReverbDecay, ImpulseDecaysAtTheRequestedRate) {
  // The damping low-pass has unit gain at 0 Hz, so the low band decays at
  // rt60Time. Measured on a band around 300 Hz (well below every damping
  // corner); 20 % covers the spread of the line lengths around their mean.
  struct Case {
    double rate;
    LayerSetting s;
  };
  const Case cases[] = {{48000, {0.07f, 0.5f, 2.3f, 4800.0f, 0.8f}},
                        {48000, kLongLayer},
                        {44100, kMediumLayer},
                        {22050, {0.05f, 1.0f, 1.5f, 3000.0f, 0.9f}},
                        {96000, {0.03f, 1.0f, 1.0f, 8000.0f, 0.7f}},
                        {8000, kLongLayer},
                        {384000, kLongLayer}};  // lines shortened to fit the rings
  constexpr double kDecayTolerance = 0.20;
  for (const auto& c : cases) {
    Reverb reverb(c.rate);
    Apply(reverb, c.s);
    const auto length = static_cast<std::size_t>(c.rate * c.s.rt60Time * 1.6);
    const double t60 = MeasureDecayTime(ImpulseEnergy(reverb, c.rate, length, 300.0, 1.0), c.rate);
    EXPECT_NEAR(t60, c.s.rt60Time, kDecayTolerance * c.s.rt60Time)
        << "rate " << c.rate << " size " << c.s.size;
  }
}

TEST(ReverbDecay, HighBandDecaysAsTheLoopGainPredicts) {
  // Per pass of about meanDelay seconds the network scales a component at w by
  // 4·gain·|H(w)| (0.25 normalises the Hadamard matrix, H is the damping
  // low-pass), so the decay time at hfFrequency is
  // rt60Time · ln(4·gain) / ln(4·gain·|H(w)|). Measured on a narrow band (q 8)
  // around hfFrequency; 25 % covers the slower components at its lower edge.
  struct Case {
    double rate;
    LayerSetting s;
  };
  const Case cases[] = {
      {48000, {0.07f, 0.5f, 2.3f, 4800.0f, 0.8f}}, {48000, kMediumLayer},
      {48000, {0.05f, 1.0f, 1.5f, 3000.0f, 0.9f}}, {48000, {0.05f, 1.0f, 1.5f, 3000.0f, 0.97f}},
      {22050, {0.05f, 1.0f, 1.5f, 3000.0f, 0.9f}}, {96000, {0.03f, 1.0f, 1.0f, 8000.0f, 0.7f}}};
  constexpr double kDecayTolerance = 0.25;
  for (const auto& c : cases) {
    Reverb reverb(c.rate);
    Apply(reverb, c.s);
    const double k = reverb.GetLpfCoef();
    ASSERT_LT(k, 0.9) << "the cap would change the damping target";
    const double w = 2.0 * M_PI * c.s.hfFrequency / c.rate;
    const double damping = k / std::abs(1.0 - (1.0 - k) * std::polar(1.0, -w));
    const double loop = 4.0 * reverb.GetGain();
    const double predicted = c.s.rt60Time * std::log(loop) / std::log(loop * damping);
    const auto length = static_cast<std::size_t>(c.rate * c.s.rt60Time * 1.6);
    const double t60 =
        MeasureDecayTime(ImpulseEnergy(reverb, c.rate, length, c.s.hfFrequency, 8.0), c.rate);
    EXPECT_NEAR(t60, predicted, kDecayTolerance * predicted)
        << "rate " << c.rate << " hf " << c.s.hfFrequency << " ratio " << c.s.hfRatio;
  }
}

// --- Every sampling rate -------------------------------------------------------------

TEST(ReverbRates, EveryRateGivesFiniteLivingOutput) {
  const LayerSetting layers[] = {kLongLayer, kMediumLayer, kShortLayer};
  for (const double rate : kAllRates) {
    for (const auto& layer : layers) {
      Reverb reverb(rate);
      Apply(reverb, layer);
      ExpectValidLines(reverb);
      EXPECT_GT(reverb.GetLpfCoef(), 0.01f) << rate;
      EXPECT_TRUE(std::isfinite(reverb.GetToneB())) << rate;

      // Half a second of noise, then silence.
      const auto burst = static_cast<std::size_t>(rate / 2);
      const std::vector<float> noise = orvtest::Noise(burst, 3, 0.5f);
      double burstEnergy = 0.0, peak = 0.0;
      for (std::size_t i = 0; i < burst; ++i) {
        const Reverb::Output out = reverb.ProcessSample(noise[i]);
        for (const float v : out) {
          ASSERT_TRUE(std::isfinite(v)) << rate;
          burstEnergy += static_cast<double>(v) * v;
          peak = std::max(peak, static_cast<double>(std::fabs(v)));
        }
      }
      const double rms = std::sqrt(burstEnergy / (burst * Reverb::kNumOutputs));
      EXPECT_GT(rms, 0.05) << "rate " << rate << " size " << layer.size;   // alive
      EXPECT_LT(peak, 50.0) << "rate " << rate << " size " << layer.size;  // bounded

      // The extra half second covers the short layer at low rates, whose lines
      // the prime spacing stretches well beyond size (11 .. 89 samples for
      // 8 samples at 8 kHz), so that it rings about three times longer.
      const auto tail = static_cast<std::size_t>(rate * (layer.rt60Time * 1.5 + 0.5));
      double lastEnergy = 0.0;
      for (std::size_t i = 0; i < tail; ++i) {
        const Reverb::Output out = reverb.ProcessSample(0.0f);
        if (i >= tail - tail / 10)
          for (const float v : out) lastEnergy += static_cast<double>(v) * v;
      }
      // The last tenth of the tail is more than 80 dB down; 60 dB leaves a margin.
      EXPECT_LT(lastEnergy, burstEnergy * 1e-6) << "rate " << rate << " size " << layer.size;
    }
  }
}

TEST(ReverbRates, FrequencyAboveNyquistDampsAtNyquist) {
  // 8000 Hz at an 8000 Hz rate lands on w = 2π, where the design's
  // coefficient is 0 and toneB infinite; the reverb applies it at Nyquist.
  Reverb at8k(8000.0), atNyquist(8000.0);
  Apply(at8k, kLongLayer);
  LayerSetting nyquist = kLongLayer;
  nyquist.hfFrequency = 4000.0f;
  Apply(atNyquist, nyquist);
  EXPECT_EQ(at8k.GetLpfCoef(), atNyquist.GetLpfCoef());
  // At w = π the one-pole's magnitude k / (2 - k) meets G: k = 2G / (1 + G).
  const double gain = atNyquist.GetGain();
  const double g = std::pow(gain, 1.0 / 0.8) / gain;
  EXPECT_NEAR(atNyquist.GetLpfCoef(), std::min(2.0 * g / (1.0 + g), 0.9), 1e-5);
}

TEST(ReverbRates, LongLinesShrinkToFitAndKeepTheirProportions) {
  Reverb reverb(384000.0);
  Apply(reverb, kLongLayer);  // 0.036 s · 384 kHz · 2.65 would need 36634 samples
  ExpectValidLines(reverb);
  const double spread = static_cast<double>(reverb.GetLineDelay(15)) / reverb.GetLineDelay(0);
  EXPECT_NEAR(spread, std::pow(2.65, 15.0 / 16.0), 0.05);
  // Where the lines fit, nothing changes: line 0 takes the first prime from size · rate.
  Reverb fits(192000.0);
  Apply(fits, kLongLayer);
  EXPECT_EQ(fits.GetLineDelay(0), NextPrimeNaive(static_cast<long long>(0.036f * 192000.0f)));
}

TEST(ReverbRates, DegenerateDampingKeepsTheOutputFinite) {
  // hfFrequency 0 and a tiny hfRatio both drive the damping coefficient to 0,
  // where the tone correction would become infinite.
  for (const auto& [frequency, ratio] : {std::pair{0.0f, 0.8f}, std::pair{8000.0f, 0.01f}}) {
    Reverb reverb(48000.0);
    Apply(reverb, {0.036f, 1.65f, 3.0f, frequency, ratio});
    EXPECT_TRUE(std::isfinite(reverb.GetToneB()));
    for (int i = 0; i < 20000; ++i) {
      const Reverb::Output out = reverb.ProcessSample(i < 100 ? 0.5f : 0.0f);
      for (const float v : out) ASSERT_TRUE(std::isfinite(v)) << i;
    }
  }
}

TEST(ReverbRates, HugeDelayRangeStillFits) {
  Reverb reverb(48000.0);
  reverb.SetDelayRange(500.0f);
  reverb.Update();
  ExpectValidLines(reverb);
  reverb.SetDelayRange(std::numeric_limits<float>::infinity());
  reverb.Update();
  ExpectValidLines(reverb);
}

}  // namespace
