// Samplers: format conversion, the three interpolations, loop joins and the
// cursor wrap, checked against hand values and a naive reference that follows
// the reading rules step by step (repeated adding and subtracting included).
#include "channel/OrvChannelRenderer_Samplers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "channel/ChannelTestSupport.h"

namespace {

using orv::AudioFormat;
using orv::ChannelParam;
using orvtest::TestBuffer;

// The reference performs the same single-precision operations in the same
// order, so every comparison with it is exact.
constexpr float kSameArithmetic = 0.0f;

enum class Kind { kNearest, kLinear, kCubic };

// Converted values of a buffer's elements, in double (exact for all formats).
template <typename T>
std::vector<double> Converted(const std::vector<T>& elements) {
  std::vector<double> v;
  for (T e : elements) {
    if constexpr (std::is_same_v<T, std::uint8_t>) {
      v.push_back((static_cast<double>(e) - 128.0) / 128.0);
    } else if constexpr (std::is_same_v<T, std::int16_t>) {
      v.push_back(static_cast<double>(e) / 32768.0);
    } else {
      v.push_back(e);
    }
  }
  return v;
}

struct ReferenceSampler {
  std::vector<double> values;
  int numChannels;
  std::int64_t numSamples;
  bool looped;
  std::int64_t loopStart;
  std::int64_t loopEnd;

  float Frame(std::int64_t i, int channel, bool inLoop) const {
    if (looped) {
      const std::int64_t length = loopEnd - loopStart;
      if (inLoop) {
        while (i < loopStart) i += length;
      }
      while (i >= loopEnd) i -= length;
    }
    if (i < 0 || i >= numSamples) return 0.0f;
    return static_cast<float>(values[i * numChannels + channel]);
  }

  float Get(Kind kind, double x, int channel, bool inLoop) const {
    switch (kind) {
      case Kind::kNearest: return Frame(static_cast<std::int64_t>(std::floor(x)), channel, inLoop);
      case Kind::kLinear: {
        const auto i = static_cast<std::int64_t>(std::trunc(x));
        const float t = static_cast<float>(x - static_cast<double>(i));
        const float s0 = Frame(i, channel, inLoop), s1 = Frame(i + 1, channel, inLoop);
        return s0 + (s1 - s0) * t;
      }
      case Kind::kCubic: {
        const auto i = static_cast<std::int64_t>(std::floor(x));
        const float t = static_cast<float>(x - std::floor(x));
        const float p0 = Frame(i - 1, channel, inLoop), p1 = Frame(i, channel, inLoop);
        const float p2 = Frame(i + 1, channel, inLoop), p3 = Frame(i + 2, channel, inLoop);
        const float a = p3 - p2 - p0 + p1;
        const float b = p0 - p1 - a;
        const float c = p2 - p0;
        return ((a * t + b) * t + c) * t + p1;
      }
    }
    return 0.0f;
  }
};

template <AudioFormat format>
auto RandomElements(std::size_t n, std::uint32_t seed) {
  using T = typename orv::SampleFormat<format>::Element;
  std::mt19937 rng(seed);
  std::vector<T> v(n);
  for (auto& e : v) {
    if constexpr (std::is_same_v<T, float>) {
      e = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
    } else {
      e = static_cast<T>(std::uniform_int_distribution<int>(std::numeric_limits<T>::min(),
                                                            std::numeric_limits<T>::max())(rng));
    }
  }
  return v;
}

template <template <int, AudioFormat, bool> class Sampler, Kind kind, int numChannels,
          AudioFormat format, bool looped>
void CompareWithReference(std::int64_t loopStart, std::int64_t loopEnd) {
  SCOPED_TRACE(::testing::Message()
               << "kind " << static_cast<int>(kind) << ", channels " << numChannels << ", format "
               << format << ", looped " << looped << ", loop " << loopStart << ".." << loopEnd);
  constexpr std::int64_t kFrames = 64;
  const auto elements = RandomElements<format>(kFrames * numChannels, 7u + format);
  const auto buffer = TestBuffer::Make(elements, numChannels, format);
  ChannelParam param;
  param.isLooped = looped;
  param.loopStart = loopStart;
  param.loopEnd = loopEnd;
  const Sampler<numChannels, format, looped> sampler(*buffer, &param);
  const ReferenceSampler reference{Converted(elements), numChannels, kFrames, looped,
                                   loopStart,           loopEnd};

  std::mt19937 rng(11);
  std::uniform_real_distribution<double> position(-4.0, kFrames + 40.0);
  for (int n = 0; n < 2000; ++n) {
    // Whole, half and arbitrary positions: the joins and the exact taps.
    double x = position(rng);
    if (n % 3 == 0) x = std::floor(x);
    if (n % 3 == 1) x = std::floor(x) + 0.5;
    for (int channel = 0; channel < numChannels; ++channel) {
      for (bool inLoop : {false, true}) {
        ASSERT_NEAR(sampler.GetSample(x, channel, inLoop), reference.Get(kind, x, channel, inLoop),
                    kSameArithmetic)
            << "x " << x << " channel " << channel << " inLoop " << inLoop;
      }
    }
  }
}

template <int numChannels, AudioFormat format, bool looped>
void CompareAllKinds(std::int64_t loopStart, std::int64_t loopEnd) {
  CompareWithReference<orv::NearestSampler, Kind::kNearest, numChannels, format, looped>(loopStart,
                                                                                         loopEnd);
  CompareWithReference<orv::LinearSampler, Kind::kLinear, numChannels, format, looped>(loopStart,
                                                                                       loopEnd);
  CompareWithReference<orv::CubicSampler, Kind::kCubic, numChannels, format, looped>(loopStart,
                                                                                     loopEnd);
}

template <int numChannels, AudioFormat format>
void CompareLoopSettings() {
  CompareAllKinds<numChannels, format, false>(0, 0);
  CompareAllKinds<numChannels, format, true>(10, 40);  // inside the buffer
  CompareAllKinds<numChannels, format, true>(50, 80);  // running past its end: silent frames
  CompareAllKinds<numChannels, format, true>(-6, -2);  // entirely before it
  CompareAllKinds<numChannels, format, true>(20, 21);  // one frame long
}

TEST(Samplers, All36MatchTheReadingRules) {
  CompareLoopSettings<1, orv::kAudioFormatUInt8>();
  CompareLoopSettings<1, orv::kAudioFormatInt16>();
  CompareLoopSettings<1, orv::kAudioFormatFloat32>();
  CompareLoopSettings<2, orv::kAudioFormatUInt8>();
  CompareLoopSettings<2, orv::kAudioFormatInt16>();
  CompareLoopSettings<2, orv::kAudioFormatFloat32>();
}

TEST(Samplers, ConvertEachFormat) {
  ChannelParam param;
  const auto bytes =
      TestBuffer::Make(std::vector<std::uint8_t>{0, 128, 255}, 1, orv::kAudioFormatUInt8);
  const orv::NearestSampler<1, orv::kAudioFormatUInt8, false> u8(*bytes, &param);
  EXPECT_EQ(u8.GetSample(0.0, 0, false), -1.0f);
  EXPECT_EQ(u8.GetSample(1.0, 0, false), 0.0f);
  EXPECT_EQ(u8.GetSample(2.0, 0, false), 0.9921875f);

  const auto shorts = TestBuffer::Make(std::vector<std::int16_t>{-32768, 0, 16384, 32767, -1}, 1,
                                       orv::kAudioFormatInt16);
  const orv::NearestSampler<1, orv::kAudioFormatInt16, false> s16(*shorts, &param);
  EXPECT_EQ(s16.GetSample(0.0, 0, false), -1.0f);
  EXPECT_EQ(s16.GetSample(1.0, 0, false), 0.0f);
  EXPECT_EQ(s16.GetSample(2.0, 0, false), 0.5f);
  EXPECT_EQ(s16.GetSample(3.0, 0, false), 32767.0f / 32768.0f);
  EXPECT_EQ(s16.GetSample(4.0, 0, false), -1.0f / 32768.0f);

  const float odd = 0.123456789f;
  const auto floats = TestBuffer::Mono({odd, -7.5f});
  const orv::NearestSampler<1, orv::kAudioFormatFloat32, false> f32(*floats, &param);
  EXPECT_EQ(f32.GetSample(0.0, 0, false), odd);
  EXPECT_EQ(f32.GetSample(1.0, 0, false), -7.5f);  // no clamping to full scale
}

TEST(Samplers, InterpolationHandValues) {
  ChannelParam param;
  const auto buffer = TestBuffer::Mono({0.5f, -0.5f, 0.0f, 1.0f, 0.25f});
  const orv::LinearSampler<1, orv::kAudioFormatFloat32, false> linear(*buffer, &param);
  EXPECT_EQ(linear.GetSample(2.25, 0, false), 0.25f);
  // Half a frame past the last one the second tap is silent: half the sample.
  EXPECT_EQ(linear.GetSample(4.5, 0, false), 0.125f);
  // Whole frames read exactly.
  EXPECT_EQ(linear.GetSample(1.0, 0, false), -0.5f);

  const orv::NearestSampler<1, orv::kAudioFormatFloat32, false> nearest(*buffer, &param);
  EXPECT_EQ(nearest.GetSample(3.99, 0, false), 1.0f);
  EXPECT_EQ(nearest.GetSample(-0.01, 0, false), 0.0f);  // frame -1, before the buffer

  const orv::CubicSampler<1, orv::kAudioFormatFloat32, false> cubic(*buffer, &param);
  for (int i = 0; i < 5; ++i) {
    const float frames[] = {0.5f, -0.5f, 0.0f, 1.0f, 0.25f};
    EXPECT_EQ(cubic.GetSample(i, 0, false), frames[i]) << "frame " << i;
  }
  // x = 2.25 reads p0..p3 = -0.5, 0, 1, 0.25: a = -0.25, b = -0.25, c = 1.5, and
  // ((a t + b) t + c) t + p1 at t = 0.25 is 0.35546875, exact in single precision.
  EXPECT_EQ(cubic.GetSample(2.25, 0, false), 0.35546875f);
}

TEST(Samplers, StereoChannelOneIsTheOddElement) {
  ChannelParam param;
  std::vector<float> elements;
  for (int i = 0; i < 8; ++i) {
    elements.push_back(static_cast<float>(i));        // left: frame index
    elements.push_back(static_cast<float>(100 + i));  // right: 100 + frame index
  }
  const auto buffer = TestBuffer::Make(elements, 2, orv::kAudioFormatFloat32);
  const orv::NearestSampler<2, orv::kAudioFormatFloat32, false> sampler(*buffer, &param);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(sampler.GetSample(i, 0, false), elements[2 * i]);
    EXPECT_EQ(sampler.GetSample(i, 1, false), elements[2 * i + 1]);
  }
  EXPECT_EQ(sampler.GetSample(8.0, 1, false), 0.0f);
}

// A buffer whose frame k holds k, so a read tells which frame it came from.
std::shared_ptr<TestBuffer> Ramp(int frames) {
  std::vector<float> v(frames);
  for (int k = 0; k < frames; ++k) v[k] = static_cast<float>(k);
  return TestBuffer::Mono(v);
}

ChannelParam Loop(std::int64_t start, std::int64_t end) {
  ChannelParam p;
  p.isLooped = true;
  p.loopStart = start;
  p.loopEnd = end;
  return p;
}

TEST(Samplers, LoopJoinBeforeAndAfterEnteringTheLoop) {
  const auto buffer = Ramp(300);
  ChannelParam param = Loop(100, 200);
  const orv::CubicSampler<1, orv::kAudioFormatFloat32, true> cubic(*buffer, &param);
  const auto cubicOf = [](float p0, float p1, float p2, float p3, float t) {
    const float a = p3 - p2 - p0 + p1;
    const float b = p0 - p1 - a;
    const float c = p2 - p0;
    return ((a * t + b) * t + c) * t + p1;
  };
  // Not yet in the loop: frames 98..101 read as they are.
  EXPECT_EQ(cubic.GetSample(99.5, 0, false), cubicOf(98, 99, 100, 101, 0.5f));
  // In the loop: frames before its start come from its end (98 -> 198, 99 -> 199).
  EXPECT_EQ(cubic.GetSample(99.5, 0, true), cubicOf(198, 199, 100, 101, 0.5f));
  // Taps at or past the end come from the start, in or out of the loop.
  EXPECT_EQ(cubic.GetSample(198.5, 0, false), cubicOf(197, 198, 199, 100, 0.5f));

  const orv::NearestSampler<1, orv::kAudioFormatFloat32, true> nearest(*buffer, &param);
  EXPECT_EQ(nearest.GetSample(450.0, 0, false), 150.0f);
  EXPECT_EQ(nearest.GetSample(99.0, 0, true), 199.0f);
  EXPECT_EQ(nearest.GetSample(-151.0, 0, true), 149.0f);
}

TEST(Samplers, LoopBoundsFollowParamUpdated) {
  const auto buffer = Ramp(300);
  ChannelParam param = Loop(100, 200);
  orv::NearestSampler<1, orv::kAudioFormatFloat32, true> sampler(*buffer, &param);
  param.loopStart = 10;
  param.loopEnd = 20;
  // The cached bounds hold until the channel says the param changed.
  EXPECT_EQ(sampler.GetSample(25.0, 0, false), 25.0f);
  sampler.ParamUpdated();
  EXPECT_EQ(sampler.GetSample(25.0, 0, false), 15.0f);
}

TEST(Samplers, FrameMappingMatchesRepeatedSteps) {
  const auto buffer = Ramp(8);
  for (const auto& [start, end] :
       {std::pair<std::int64_t, std::int64_t>{100, 200}, {-5, 3}, {7, 8}, {0, 1000}}) {
    ChannelParam param = Loop(start, end);
    const orv::NearestSampler<1, orv::kAudioFormatFloat32, true> sampler(*buffer, &param);
    const std::int64_t length = end - start;
    for (std::int64_t i = start - 5 * length - 3; i < end + 5 * length + 3; ++i) {
      for (bool inLoop : {false, true}) {
        std::int64_t expected = i;
        if (inLoop) {
          while (expected < start) expected += length;
        }
        while (expected >= end) expected -= length;
        ASSERT_EQ(sampler.MapFrame(i, inLoop), expected) << i << " in " << start << ".." << end;
      }
    }
  }
}

TEST(Samplers, FrameMappingFarFromTheLoopNeedsNoLoopOverTheDistance) {
  const auto buffer = Ramp(8);
  ChannelParam param = Loop(100, 200);
  const orv::NearestSampler<1, orv::kAudioFormatFloat32, true> sampler(*buffer, &param);
  // Repeated steps would take 10^16 iterations here; the mapping is periodic.
  const std::int64_t far = 1'000'000'000'000'000'037;
  EXPECT_EQ(sampler.MapFrame(far, false), 137);
  EXPECT_EQ(sampler.MapFrame(-far, true), 163);
  EXPECT_EQ(sampler.MapFrame(-far, false), -far);  // before the loop is entered: unmapped
}

// The cursor wrap exactly as its rule states it, steps repeated.
double ReferenceWrap(double x, double start, double end) {
  const double length = end - start;
  if (x < end) return x;
  if (x >= start + 16.0 * length) return x - std::floor((x - start) / length) * length;
  while (x >= end) x -= length;
  return x;
}

TEST(Samplers, CursorWrapMatchesTheRule) {
  double x = 2000.0;
  ASSERT_TRUE(orv::WrapLoopCursor(x, 100.0, 200.0));
  EXPECT_EQ(x, 100.0);  // floor rule: 2000 >= 100 + 16 * 100
  x = 250.0;
  ASSERT_TRUE(orv::WrapLoopCursor(x, 100.0, 200.0));
  EXPECT_EQ(x, 150.0);  // repeated subtraction
  x = 199.75;
  ASSERT_TRUE(orv::WrapLoopCursor(x, 100.0, 200.0));
  EXPECT_EQ(x, 199.75);  // inside: unchanged
  x = 40.0;
  ASSERT_TRUE(orv::WrapLoopCursor(x, 100.0, 200.0));
  EXPECT_EQ(x, 40.0);  // before the loop: unchanged

  std::mt19937 rng(5);
  for (const auto& [start, end] :
       {std::pair<double, double>{100, 200}, {-37, 3}, {0, 1}, {12345, 12346 + 4096}}) {
    const double length = end - start;
    std::uniform_real_distribution<double> near(end, start + 20.0 * length);
    for (int n = 0; n < 20000; ++n) {
      double v = near(rng);
      if (n % 4 == 0) v = std::floor(v);  // whole multiples land exactly on the boundaries
      // The cursor just below a boundary, where a rounded quotient can claim a
      // whole number of loop lengths too many.
      if (n % 4 == 1) {
        v = std::nextafter(start + static_cast<double>(n % 400 + 1) * length, -HUGE_VAL);
        if (v < end) continue;
      }
      // Repeated subtraction is exact here (integer length, |x| < 2^53), so it is
      // the true remainder: the wrap must equal it, also where the floor rule's
      // quotient rounds across a boundary.
      double repeated = v;
      while (repeated >= end) repeated -= length;
      double wrapped = v;
      ASSERT_TRUE(orv::WrapLoopCursor(wrapped, start, end));
      ASSERT_EQ(wrapped, repeated) << v;
      if (v < start + 16.0 * length) {
        ASSERT_EQ(wrapped, ReferenceWrap(v, start, end)) << v;
      }
      ASSERT_GE(wrapped, start);
      ASSERT_LT(wrapped, end);
    }
  }
}

TEST(Samplers, CursorWrapOfExtremeCursors) {
  double x = 1e15 + 0.5;  // 10^13 loop lengths away
  ASSERT_TRUE(orv::WrapLoopCursor(x, 100.0, 200.0));
  EXPECT_EQ(x, 100.5);
  x = 1e300;  // no fraction left: any frame of the loop, but inside it
  ASSERT_TRUE(orv::WrapLoopCursor(x, 100.0, 200.0));
  EXPECT_GE(x, 100.0);
  EXPECT_LT(x, 200.0);
  x = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(orv::WrapLoopCursor(x, 100.0, 200.0));
  x = std::numeric_limits<double>::quiet_NaN();
  // NaN compares false with the end, so it is reported, not passed on.
  EXPECT_FALSE(orv::WrapLoopCursor(x, 100.0, 200.0));
}

TEST(Samplers, NonFiniteAndHugePositionsReadSilenceOrALoopFrame) {
  const auto buffer = Ramp(300);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ChannelParam oneShot;
  const orv::CubicSampler<1, orv::kAudioFormatFloat32, false> cubic(*buffer, &oneShot);
  const orv::LinearSampler<1, orv::kAudioFormatFloat32, false> linear(*buffer, &oneShot);
  for (double x : {inf, -inf, nan, 1e300, -1e300, 9.3e18, -9.3e18}) {
    EXPECT_EQ(cubic.GetSample(x, 0, false), 0.0f) << x;
    EXPECT_EQ(linear.GetSample(x, 0, false), 0.0f) << x;
  }
  ChannelParam looped = Loop(100, 200);
  const orv::LinearSampler<1, orv::kAudioFormatFloat32, true> loopLinear(*buffer, &looped);
  for (double x : {inf, -inf, nan, 1e300, -1e300}) {
    const float v = loopLinear.GetSample(x, 0, true);
    EXPECT_TRUE(v >= 100.0f && v < 200.0f) << x << " read " << v;
  }
  // Loop bounds at the ends of the 64-bit range do not overflow the mapping.
  ChannelParam wide =
      Loop(std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max());
  const orv::LinearSampler<1, orv::kAudioFormatFloat32, true> wideLinear(*buffer, &wide);
  EXPECT_EQ(wideLinear.GetSample(12.0, 0, true), 12.0f);
  EXPECT_EQ(wideLinear.GetSample(-5.0, 0, true), 0.0f);
}

}  // namespace
