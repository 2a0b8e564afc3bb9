// Version 2 voices heard through the table: sample-exact start frames,
// seamless loops, click-free stops and moves, the Doppler shift, and offline
// renders that repeat bit for bit.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "bind/Context_V2Host.h"

namespace {

using orvtest::HostLibrary;
using orvtest::MaxStep;
using orvtest::V2Host;
using orvtest::VoiceAt;

constexpr double kRate = 48000.0;
constexpr double kPi = 3.14159265358979323846;

class V2VoiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library.loadError.empty()) << library.loadError; }
  HostLibrary library;
};

std::size_t FirstNonZero(const std::vector<float>& x) {
  for (std::size_t i = 0; i < x.size(); ++i)
    if (x[i] != 0.0f) return i;
  return x.size();
}

TEST_F(V2VoiceTest, AClickLandsOnItsStartFrameAtEveryBlockSize) {
  const std::vector<float> click = {0.5f, 0.0f, 0.0f, 0.0f};
  for (int block : {64, 512, 1000}) {
    for (bool offline : {false, true}) {
      V2Host host(library);
      host.Init(2, 16, offline);
      Buffer* b = host.Mono(click);
      const OrvVoiceParam first = VoiceAt(ORV_SPACE_LOCAL, {}, false, 48000);
      ASSERT_NE(host.table.Play(host.ctx(), b, &first), nullptr) << host.Error();
      auto left = orvtest::Channel(host.Render(30000, block), 0);
      // A second click asked for mid-stream, with a block rendered ahead.
      const int64_t now = host.table.FrameClock(host.ctx());
      const OrvVoiceParam second = VoiceAt(ORV_SPACE_LOCAL, {}, false, now + 3017);
      ASSERT_NE(host.table.Play(host.ctx(), b, &second), nullptr);
      auto more =
          orvtest::Channel(host.Render(static_cast<std::size_t>(now) + 6000 - 30000, block), 0);
      left.insert(left.end(), more.begin(), more.end());
      EXPECT_EQ(FirstNonZero(left), static_cast<std::size_t>(now + 3017))
          << "block " << block << (offline ? " offline" : " real time");
      more = orvtest::Channel(host.Render(20000, block), 0);
      left.insert(left.end(), more.begin(), more.end());
      left[static_cast<std::size_t>(now + 3017)] = 0.0f;
      EXPECT_EQ(FirstNonZero(left), 48000u) << "block " << block;
    }
  }
}

TEST_F(V2VoiceTest, ALoopEqualsAnEndlessRepetitionAtLengthsOffTheBlock) {
  for (std::size_t length : {1001u, 777u, 4099u}) {
    V2Host host(library);
    host.Init();
    const auto x = orvtest::Noise(length, 11, 0.5f);
    Buffer* b = host.Mono(x);
    const OrvVoiceParam p = VoiceAt(ORV_SPACE_LOCAL, {}, true);
    host.Render(300, 300);  // an offset that is no multiple of anything here
    ASSERT_NE(host.table.Play(host.ctx(), b, &p), nullptr);
    const auto left = orvtest::Channel(host.Render(10 * length + 5, 256), 0);
    for (std::size_t i = 0; i < 10 * length; ++i)
      ASSERT_EQ(left[i], x[i % length]) << "length " << length << ", frame " << i;
  }
}

TEST_F(V2VoiceTest, AStopFadesWithoutAClickAndIsSilentWithin10Ms) {
  V2Host host(library);
  host.Init();
  const auto tone = orvtest::Sine(4800, 1000.0, kRate, 0.5f);  // 100 whole periods
  Buffer* b = host.Mono(tone);
  const OrvVoiceParam p = VoiceAt(ORV_SPACE_LOCAL, {}, true);
  OrvVoice* voice = host.table.Play(host.ctx(), b, &p);
  const auto before = orvtest::Channel(host.Render(4800 + 13, 512), 0);
  host.table.StopVoice(host.ctx(), voice);
  const auto after = orvtest::Channel(host.Render(4800, 512), 0);
  // A fading sine steps by at most its own step plus the amplitude over the
  // fade length; a cut would step by up to the amplitude at once.
  const float fadeAllowance = 0.5f / 200.0f;
  EXPECT_LE(MaxStep(after, 0, 480), MaxStep(before, 100, before.size()) + fadeAllowance);
  EXPECT_GT(std::fabs(after[0]) + std::fabs(after[1]), 0.0f);  // it fades, it does not cut
  for (std::size_t i = 480; i < after.size(); ++i) ASSERT_EQ(after[i], 0.0f) << i;
  EXPECT_EQ(host.table.VoiceState(host.ctx(), voice), ORV_VOICE_ENDED);
}

TEST_F(V2VoiceTest, AVolumeChangeOfALocalVoiceGlides) {
  V2Host host(library);
  host.Init();
  Buffer* b = host.Mono(orvtest::Sine(4800, 1000.0, kRate, 0.5f));
  const OrvVoiceParam p = VoiceAt(ORV_SPACE_LOCAL, {}, true);
  OrvVoice* voice = host.table.Play(host.ctx(), b, &p);
  const auto before = orvtest::Channel(host.Render(4800 + 7, 512), 0);
  host.table.SetVoiceVolume(host.ctx(), voice, 0.2f);
  const auto after = orvtest::Channel(host.Render(4800, 512), 0);
  // The glide closes a tenth of the gap a sample: at most 0.04 of the 0.4
  // step at once, where a cut could jump by all of it.
  EXPECT_LE(MaxStep(after, 0, 100), MaxStep(before, 100, before.size()) + 0.045f);
  EXPECT_NEAR(orvtest::Rms(after.data() + 480, 4320), 0.2 * 0.5 / std::sqrt(2.0), 1e-3);
}

TEST_F(V2VoiceTest, ASpeedChangeSlidesInsteadOfJumping) {
  V2Host host(library);
  host.Init();
  // A ramp sound: a local voice's output is its cursor, scaled.
  constexpr float kSlope = 1e-5f;
  std::vector<float> ramp(48000);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = kSlope * static_cast<float>(i);
  const OrvVoiceParam p = VoiceAt(ORV_SPACE_LOCAL);
  OrvVoice* voice = host.table.Play(host.ctx(), host.Mono(ramp), &p);
  const auto before = orvtest::Channel(host.Render(5000, 500), 0);
  host.table.SetVoiceSpeed(host.ctx(), voice, 2.0f);
  const auto after = orvtest::Channel(host.Render(2000, 500), 0);
  auto rate = [&](std::size_t i) { return (after[i] - after[i - 1]) / kSlope; };
  EXPECT_NEAR((before[4999] - before[4998]) / kSlope, 1.0, 1e-3);
  EXPECT_LT(rate(1), 1.5);                                                     // not at once ...
  EXPECT_NEAR(rate(1000), 2.0, 2e-3);                                          // ... but soon
  for (std::size_t i = 1; i < 1000; ++i) ASSERT_LE(rate(i), 2.0 + 2e-3) << i;  // never beyond
}

// The largest step of either ear over a source on a circle of 2 m around the
// listener, turning by turnPerBlock radians a block (0: still at angle).
float LargestStep(const HostLibrary& library, double angle, double turnPerBlock) {
  V2Host host(library);
  host.Init();
  Buffer* b = host.Mono(orvtest::Sine(4800, 200.0, kRate, 0.5f));
  auto at = [](double a) {
    return Vector3{static_cast<float>(2 * std::sin(a)), 0.0f, static_cast<float>(2 * std::cos(a))};
  };
  const OrvVoiceParam p = VoiceAt(ORV_SPACE_LISTENER, at(angle), true);
  OrvVoice* voice = host.table.Play(host.ctx(), b, &p);
  std::vector<float> out;
  for (int k = 0; k < 376; ++k) {
    const auto block = host.Render(256, 256);
    out.insert(out.end(), block.begin(), block.end());
    angle += turnPerBlock;
    const Vector3 where = at(angle);
    host.table.MoveVoice(host.ctx(), voice, &where, nullptr);
  }
  const std::size_t settled = 4800;  // past the onset
  return std::max(MaxStep(orvtest::Channel(out, 0), settled, out.size() / 2),
                  MaxStep(orvtest::Channel(out, 1), settled, out.size() / 2));
}

TEST_F(V2VoiceTest, ACirclingSourceStepsNoMoreThanAStillOne) {
  float still = 0.0f;
  for (int k = 0; k < 72; ++k) still = std::max(still, LargestStep(library, k * kPi / 36, 0.0));
  // One turn a second, 187.5 blocks of 256 frames.
  const float circling = LargestStep(library, 0.0, 2 * kPi * 256 / kRate);
  EXPECT_GT(still, 0.0f);
  // The direction crossfade sums two neighbouring responses, whose delays
  // differ by a sample or so: at the fade's ends that ripples the largest
  // step by up to a quarter. No jump beyond that.
  EXPECT_LE(circling, 1.3f * still);
}

// Frequency from the zero crossings of x over [begin, end).
double Frequency(const std::vector<float>& x, std::size_t begin, std::size_t end) {
  double first = -1, last = -1;
  int crossings = 0;
  for (std::size_t i = begin + 1; i < end; ++i) {
    if ((x[i - 1] < 0.0f) != (x[i] < 0.0f)) {
      const double t = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
      if (first < 0) first = t;
      last = t;
      ++crossings;
    }
  }
  return (crossings - 1) / 2.0 / ((last - first) / kRate);
}

TEST_F(V2VoiceTest, AnApproachingSourceIsShiftedByTheDopplerFormula) {
  // Doppler on, then off with the voice retuned by SetVoiceSpeed instead.
  for (double factor : {1.0, 0.0}) {
    V2Host host(library);
    host.Init();
    host.table.SetOption(host.ctx(), ORV_OPTION_DOPPLER_FACTOR, factor);
    Buffer* b = host.Mono(orvtest::Sine(4800, 1000.0, kRate, 0.5f));
    OrvVoiceParam p = VoiceAt(ORV_SPACE_LISTENER, {0, 0, 20}, true);
    p.velocity = {0.0f, 0.0f, -34.3f};  // straight towards the listener
    OrvVoice* voice = host.table.Play(host.ctx(), b, &p);
    ASSERT_NE(voice, nullptr);
    if (factor == 0.0) host.table.SetVoiceSpeed(host.ctx(), voice, 1.25f);
    const auto left = orvtest::Channel(host.Render(48000, 480), 0);
    const double expected = factor == 1.0 ? 1000.0 * 343.3 / (343.3 - 34.3) : 1250.0;
    EXPECT_NEAR(Frequency(left, 9600, left.size()), expected, 0.005 * expected);
  }
}

// One offline render of a scene whose calls come between Render calls, with
// the host pausing at random (pauseSeed) in between.
std::vector<float> OfflineScene(const HostLibrary& library, int threads, unsigned pauseSeed) {
  V2Host host(library);
  host.Init(threads, 24);
  std::mt19937 pauses(pauseSeed);
  std::mt19937 scene(5);  // the same calls every run
  Buffer* noise = host.Mono(orvtest::Noise(7000, 3, 0.3f));
  Buffer* tone = host.Mono(orvtest::Sine(4800, 300.0, kRate, 0.3f));
  std::uniform_real_distribution<float> where(-5.0f, 5.0f);
  std::vector<OrvVoice*> voices;
  std::vector<float> out;
  for (int k = 0; k < 120; ++k) {
    if (k % 3 == 0) {
      OrvVoiceParam p = VoiceAt(k % 2 ? ORV_SPACE_WORLD : ORV_SPACE_LISTENER,
                                {where(scene), where(scene), where(scene)}, k % 9 == 0);
      p.velocity = {where(scene), 0.0f, where(scene)};
      voices.push_back(host.table.Play(host.ctx(), k % 2 ? noise : tone, &p));
    }
    if (k % 4 == 1 && !voices.empty()) {
      const Vector3 to{where(scene), where(scene), where(scene)};
      host.table.MoveVoice(host.ctx(), voices[scene() % voices.size()], &to, nullptr);
    }
    if (k % 7 == 2 && !voices.empty())
      host.table.StopVoice(host.ctx(), voices[scene() % voices.size()]);
    if (k % 10 == 5) {
      const Vector3 eye{where(scene), 0, where(scene)}, front{0, 0, 1}, up{0, 1, 0};
      const ReverbParam room{0.6f, 300.0f, 250.0f, 6.0f, 0.7f};
      host.table.Respatialize(host.ctx(), &eye, &front, &up, &room);
    }
    if (pauses() % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(pauses() % 3000));
    const auto block = host.Render(300, 300);
    out.insert(out.end(), block.begin(), block.end());
  }
  EXPECT_EQ(host.table.CheckError(host.ctx()), nullptr) << host.Error();
  return out;
}

// Two runs of the same calls at the same thread count, the host pausing
// differently: nothing may depend on the wall clock.
TEST_F(V2VoiceTest, OfflineRendersRepeatBitForBitHoweverTheHostPauses) {
  for (int threads : {1, 3}) {
    const auto reference = OfflineScene(library, threads, 1);
    EXPECT_GT(orvtest::Rms(reference.data(), reference.size()), 0.01);
    const auto again = OfflineScene(library, threads, 2);
    ASSERT_EQ(again.size(), reference.size());
    EXPECT_EQ(std::memcmp(again.data(), reference.data(), reference.size() * sizeof(float)), 0)
        << threads << " threads: largest difference "
        << orvtest::MaxAbsDifference(again.data(), reference.data(), reference.size());
  }
}

// The same calls on one thread and on three: the mix may not depend on which
// worker rendered which voice.
TEST_F(V2VoiceTest, OfflineRendersRepeatBitForBitAtAnyThreadCount) {
  const auto one = OfflineScene(library, 1, 3);
  const auto three = OfflineScene(library, 3, 4);
  ASSERT_EQ(three.size(), one.size());
  EXPECT_EQ(std::memcmp(three.data(), one.data(), one.size() * sizeof(float)), 0)
      << "largest difference " << orvtest::MaxAbsDifference(three.data(), one.data(), one.size());
}

}  // namespace
