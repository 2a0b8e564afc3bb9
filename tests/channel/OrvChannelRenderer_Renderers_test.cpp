// The renderer kinds on their own: mixing, gains, low-pass, cursor, loop and
// end of a voice, with a recorder in place of the spatializer source. The
// references are written out sample by sample from the mixing rules.
#include "channel/OrvChannelRenderer_Renderers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "channel/ChannelTestSupport.h"
#include "common/OrvTestUtil.h"

namespace {

using orv::ChannelParam;
using orvtest::MakeMixBuffers;
using orvtest::RecordingSource;
using orvtest::TestBuffer;

using MonoLinear = orv::LinearSampler<1, orv::kAudioFormatFloat32, false>;
using MonoLinearLooped = orv::LinearSampler<1, orv::kAudioFormatFloat32, true>;
using StereoLinear = orv::LinearSampler<2, orv::kAudioFormatFloat32, false>;

// Same operations in the same single-precision order as the renderer: exact.
constexpr float kSameArithmetic = 0.0f;
// Double-precision references of single-precision recursions (low-pass, gain
// smoothing) drift by a few ulps per step over a few hundred samples.
constexpr float kRecursionTolerance = 1e-5f;

constexpr double kEngineRate = 48000.0;

orv::Channel::RendererBuildParam Build(const TestBuffer& buffer, ChannelParam& param) {
  return {&buffer, &param, 1, buffer.GetNumChannels(), buffer.GetFormat(), kEngineRate, nullptr};
}

// Calls Render over consecutive pieces of one block; returns the calls'
// results.
template <class Renderer>
std::vector<bool> RenderPieces(Renderer& renderer, orv::ThreadLocalBuffer& buffers,
                               const std::vector<int>& pieces) {
  std::vector<bool> results;
  int offset = 0;
  for (int count : pieces) {
    results.push_back(renderer.Render(offset, count, buffers));
    offset += count;
  }
  return results;
}

TEST(Renderers, MonoWithUnityGainAddsTheRawSamplesToBothSides) {
  const auto samples = orvtest::Noise(64, 1);
  const auto buffer = TestBuffer::Mono(samples);
  ChannelParam param;
  param.reverbGain = 0.25f;
  orv::NonSpatializedMonoRenderer<MonoLinear> renderer(Build(*buffer, param));
  auto buffers = MakeMixBuffers(64);
  buffers.mainMix.assign(128, 1.0f);  // other voices were here first: accumulate
  buffers.reverbSend.assign(64, -1.0f);
  ASSERT_TRUE(renderer.Render(0, 64, buffers));
  for (int i = 0; i < 64; ++i) {
    ASSERT_NEAR(buffers.mainMix[2 * i], 1.0f + samples[i], kSameArithmetic) << i;
    ASSERT_NEAR(buffers.mainMix[2 * i + 1], 1.0f + samples[i], kSameArithmetic) << i;
    ASSERT_NEAR(buffers.reverbSend[i], -1.0f + 0.25f * samples[i], kSameArithmetic) << i;
  }
  EXPECT_EQ(param.position, 64.0);
  // Neither the spatial path nor the bass enhancer's input is touched.
  EXPECT_EQ(orvtest::Energy(buffers.dryMonoSum.data(), 64), 0.0);
  EXPECT_EQ(orvtest::Energy(buffers.spatialMix.data(), 128), 0.0);
}

TEST(Renderers, MonoLowPassAndGainFollowTheOnePoleRecursion) {
  const auto samples = orvtest::Noise(300, 2);
  const auto buffer = TestBuffer::Mono(samples);
  ChannelParam param;
  param.gain = 0.7f;
  param.lowPassCoef = 0.2f;
  orv::NonSpatializedMonoRenderer<MonoLinear> renderer(Build(*buffer, param));
  auto buffers = MakeMixBuffers(300);
  // The filter state carries across calls: split the block unevenly.
  RenderPieces(renderer, buffers, {1, 99, 7, 193});
  double y = 0.0;
  for (int i = 0; i < 300; ++i) {
    y += (samples[i] - y) * 0.2;
    ASSERT_NEAR(buffers.mainMix[2 * i], 0.7 * y, kRecursionTolerance) << i;
    ASSERT_EQ(buffers.mainMix[2 * i], buffers.mainMix[2 * i + 1]);
  }
}

TEST(Renderers, OneShotVoiceProducesEightSilentFramesThenEnds) {
  const std::vector<float> ones(100, 1.0f);
  const auto buffer = TestBuffer::Mono(ones);
  ChannelParam param;
  param.lowPassCoef = 0.5f;  // the tail carries only the filter's decay
  orv::NonSpatializedMonoRenderer<MonoLinear> renderer(Build(*buffer, param));
  auto buffers = MakeMixBuffers(200);
  EXPECT_TRUE(renderer.Render(0, 100, buffers));
  EXPECT_FALSE(renderer.Render(100, 100, buffers));
  EXPECT_EQ(param.position, 108.0);
  double y = 0.0;
  for (int i = 0; i < 200; ++i) {
    const double s = i < 100 ? 1.0 : 0.0;
    if (i < 108) y += (s - y) * 0.5;
    const double expected = i < 108 ? y : 0.0;  // nothing written after the end
    ASSERT_NEAR(buffers.mainMix[2 * i], expected, kRecursionTolerance) << i;
  }
  EXPECT_GT(buffers.mainMix[2 * 107], 0.0f);
  // An ended voice's next call produces nothing and reports the end again.
  auto again = MakeMixBuffers(16);
  EXPECT_FALSE(renderer.Render(0, 16, again));
  EXPECT_EQ(orvtest::Energy(again.mainMix.data(), 32), 0.0);
}

TEST(Renderers, SpeedAndRateRatioScaleTheStep) {
  const auto samples = orvtest::Sine(400, 440.0, 24000.0);
  for (const auto& [bufferRate, speed] :
       {std::pair<double, double>{48000.0, 2.0}, {24000.0, 1.0}, {36000.0, 0.75}, {96000.0, 1.5}}) {
    const auto buffer = TestBuffer::Mono(samples, bufferRate);
    ChannelParam param;
    param.speed = speed;
    orv::NonSpatializedMonoRenderer<MonoLinear> renderer(Build(*buffer, param));
    auto buffers = MakeMixBuffers(128);
    renderer.Render(0, 128, buffers);
    const double step = speed * (bufferRate / kEngineRate);
    double x = 0.0;
    for (int k = 0; k < 128; ++k) {
      // Linear interpolation between the two frames around the cursor.
      const int i = static_cast<int>(x);
      const float t = static_cast<float>(x - i);
      const float expected = samples[i] + (samples[i + 1] - samples[i]) * t;
      ASSERT_NEAR(buffers.mainMix[2 * k], expected, kSameArithmetic)
          << "rate " << bufferRate << " speed " << speed << " sample " << k;
      x += step;
    }
  }
}

TEST(Renderers, StereoRoutesLeftToLeftAndRightToRight) {
  const auto left = orvtest::Noise(50, 3), right = orvtest::Noise(50, 4);
  std::vector<float> interleaved;
  for (int i = 0; i < 50; ++i) {
    interleaved.push_back(left[i]);
    interleaved.push_back(right[i]);
  }
  const auto buffer = TestBuffer::Make(interleaved, 2, orv::kAudioFormatFloat32);
  ChannelParam param;
  param.gain = 0.5f;
  param.reverbGain = 0.3f;
  param.isSpatialized = true;  // stereo voices ignore it
  orv::NonSpatializedMultiChannelRenderer<StereoLinear> renderer(Build(*buffer, param));
  auto buffers = MakeMixBuffers(60);
  EXPECT_TRUE(renderer.Render(5, 50, buffers));
  for (int i = 0; i < 50; ++i) {
    ASSERT_NEAR(buffers.mainMix[2 * (i + 5)], 0.5f * left[i], kSameArithmetic) << i;
    ASSERT_NEAR(buffers.mainMix[2 * (i + 5) + 1], 0.5f * right[i], kSameArithmetic) << i;
    ASSERT_NEAR(buffers.reverbSend[i + 5], (left[i] + right[i]) * (0.3f * 0.5f), kSameArithmetic);
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(buffers.mainMix[2 * i], 0.0f);  // before the offset
}

// A looped voice against a reference that runs the cursor, the loop entry and
// the wrap exactly as stated (steps repeated), reading through the sampler.
// Cubic reads a tap before the cursor, so it also hears when inLoop is set.
template <class Sampler>
void CheckLoopedVoice() {
  std::vector<float> ramp(260);
  for (int k = 0; k < 260; ++k) ramp[k] = static_cast<float>(k);
  const auto buffer = TestBuffer::Mono(ramp);
  ChannelParam param;
  param.isLooped = true;
  param.loopStart = 100;
  param.loopEnd = 200;
  param.position = 90.25;
  param.speed = 0.9;  // the cursor is never whole: taps straddle the join
  orv::NonSpatializedMonoRenderer<Sampler> renderer(Build(*buffer, param));
  ChannelParam referenceParam = param;
  const Sampler sampler(*buffer, &referenceParam);

  auto buffers = MakeMixBuffers(1000);
  const auto results = RenderPieces(renderer, buffers, {333, 1, 666});
  EXPECT_EQ(results, (std::vector<bool>{true, true, true}));

  double x = 90.25;
  bool inLoop = false;
  for (int k = 0; k < 1000; ++k) {
    ASSERT_NEAR(buffers.mainMix[2 * k], sampler.GetSample(x, 0, inLoop), kSameArithmetic) << k;
    x += 0.9;
    if (!inLoop && x >= 100.0) inLoop = true;
    while (x >= 200.0) x -= 100.0;
  }
  EXPECT_EQ(param.position, x);
}

TEST(Renderers, LoopedVoiceFollowsTheCursorRule) {
  CheckLoopedVoice<MonoLinearLooped>();
  CheckLoopedVoice<orv::CubicSampler<1, orv::kAudioFormatFloat32, true>>();
  CheckLoopedVoice<orv::NearestSampler<1, orv::kAudioFormatFloat32, true>>();
}

// Calls that stay inside the buffer take a path without range checks; calls
// that touch its edges (or the end of the voice) take the checked one. Both
// must read what the checked sampler reads, whatever the call lengths.
template <class Sampler>
void CheckEdgesAndInterior(double position, double speed, std::int64_t loopStart,
                           std::int64_t loopEnd) {
  SCOPED_TRACE(::testing::Message() << "position " << position << " speed " << speed << " loop "
                                    << loopStart << ".." << loopEnd);
  const auto samples = orvtest::Noise(90, 17);
  const auto buffer = TestBuffer::Mono(samples);
  ChannelParam param;
  param.isLooped = Sampler::kLooped;
  param.loopStart = loopStart;
  param.loopEnd = loopEnd;
  param.position = position;
  param.speed = speed;
  orv::NonSpatializedMonoRenderer<Sampler> renderer(Build(*buffer, param));
  ChannelParam referenceParam = param;
  const Sampler sampler(*buffer, &referenceParam);

  constexpr int kTotal = 400;
  auto buffers = MakeMixBuffers(kTotal);
  std::vector<int> pieces;
  for (int n = 0, k = 0; n < kTotal; ++k) {
    pieces.push_back(std::min(1 + (k * 7) % 23, kTotal - n));
    n += pieces.back();
  }
  RenderPieces(renderer, buffers, pieces);

  double x = position;
  bool inLoop = false;
  for (int k = 0; k < kTotal; ++k) {
    if (Sampler::kLooped) {
      while (x >= static_cast<double>(loopEnd)) x -= static_cast<double>(loopEnd - loopStart);
    } else if (x >= 90.0 + 8.0) {
      ASSERT_EQ(buffers.mainMix[2 * k], 0.0f) << k;  // ended: nothing written
      continue;
    }
    ASSERT_NEAR(buffers.mainMix[2 * k], sampler.GetSample(x, 0, inLoop), kSameArithmetic) << k;
    x += speed;
    if (!inLoop && x >= static_cast<double>(loopStart)) inLoop = true;
  }
}

template <template <int, orv::AudioFormat, bool> class Sampler>
void CheckEdgesAndInteriorOfKind() {
  for (double position : {-3.3, 0.0, 0.5, 1.0, 40.25}) {
    for (double speed : {0.7, 1.0, 1.3}) {
      CheckEdgesAndInterior<Sampler<1, orv::kAudioFormatFloat32, false>>(position, speed, 0, 0);
      CheckEdgesAndInterior<Sampler<1, orv::kAudioFormatFloat32, true>>(position, speed, 10, 60);
      CheckEdgesAndInterior<Sampler<1, orv::kAudioFormatFloat32, true>>(position, speed, 0, 90);
      CheckEdgesAndInterior<Sampler<1, orv::kAudioFormatFloat32, true>>(position, speed, 50, 120);
      CheckEdgesAndInterior<Sampler<1, orv::kAudioFormatFloat32, true>>(position, speed, -20, 30);
    }
  }
}

TEST(Renderers, CallsInsideAndAtTheEdgesOfTheBufferReadAlike) {
  CheckEdgesAndInteriorOfKind<orv::NearestSampler>();
  CheckEdgesAndInteriorOfKind<orv::LinearSampler>();
  CheckEdgesAndInteriorOfKind<orv::CubicSampler>();
}

TEST(Renderers, LoopBoundsChangeWithParamUpdated) {
  const std::vector<float> ramp = [] {
    std::vector<float> v(100);
    for (int k = 0; k < 100; ++k) v[k] = static_cast<float>(k);
    return v;
  }();
  const auto buffer = TestBuffer::Mono(ramp);
  ChannelParam param;
  param.isLooped = true;
  param.loopStart = 0;
  param.loopEnd = 50;
  orv::NonSpatializedMonoRenderer<orv::NearestSampler<1, orv::kAudioFormatFloat32, true>> renderer(
      Build(*buffer, param));
  auto buffers = MakeMixBuffers(60);
  renderer.Render(0, 30, buffers);
  param.loopStart = 10;
  param.loopEnd = 20;
  renderer.ParamUpdated();
  renderer.Render(30, 30, buffers);
  // Cursor 30 is past the new end: wrapped once before the first sample.
  EXPECT_EQ(buffers.mainMix[2 * 30], 10.0f);
  EXPECT_EQ(buffers.mainMix[2 * 59], 19.0f);
}

TEST(Renderers, NonFiniteCursorEndsAVoiceInsteadOfLoopingForever) {
  const auto samples = orvtest::Noise(64, 5);
  const auto buffer = TestBuffer::Mono(samples);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    bool looped;
    double position;
    double speed;
    int produced;  // samples written before the end
  };
  const Case cases[] = {
      {true, inf, 1.0, 0},   {true, -inf, 1.0, 0}, {true, nan, 1.0, 0},  {true, 3.0, inf, 1},
      {false, -inf, 1.0, 0}, {false, nan, 1.0, 0}, {false, inf, 1.0, 0}, {false, 3.0, inf, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "looped " << c.looped << " position " << c.position << " speed " << c.speed);
    ChannelParam param;
    param.isLooped = c.looped;
    param.loopStart = 0;
    param.loopEnd = 64;
    param.position = c.position;
    param.speed = c.speed;
    auto buffers = MakeMixBuffers(32);
    bool result;
    if (c.looped) {
      orv::NonSpatializedMonoRenderer<MonoLinearLooped> r(Build(*buffer, param));
      result = r.Render(0, 32, buffers);
    } else {
      orv::NonSpatializedMonoRenderer<MonoLinear> r(Build(*buffer, param));
      result = r.Render(0, 32, buffers);
    }
    EXPECT_FALSE(result);
    for (int k = 0; k < 32; ++k) {
      const float expected = k < c.produced ? samples[3] : 0.0f;
      ASSERT_EQ(buffers.mainMix[2 * k], expected) << k;
    }
  }
}

TEST(Renderers, HugeFiniteLoopCursorStaysInsideTheLoop) {
  std::vector<float> ramp(64);
  for (int k = 0; k < 64; ++k) ramp[k] = static_cast<float>(k);
  const auto buffer = TestBuffer::Mono(ramp);
  ChannelParam param;
  param.isLooped = true;
  param.loopStart = 8;
  param.loopEnd = 40;
  param.position = 1e300;
  param.speed = 1e290;  // finite, but each step jumps ~10^290 loop lengths
  orv::NonSpatializedMonoRenderer<orv::NearestSampler<1, orv::kAudioFormatFloat32, true>> renderer(
      Build(*buffer, param));
  auto buffers = MakeMixBuffers(256);
  EXPECT_TRUE(renderer.Render(0, 256, buffers));
  for (int k = 0; k < 256; ++k) {
    ASSERT_GE(buffers.mainMix[2 * k], 8.0f) << k;
    ASSERT_LT(buffers.mainMix[2 * k], 40.0f) << k;
  }
  EXPECT_GE(param.position, 8.0);
  EXPECT_LT(param.position, 40.0);
}

// --- Spatialized kind ---------------------------------------------------------

using SpatialRenderer = orv::SpatializedRenderer<MonoLinear, RecordingSource>;

struct SpatialFixture {
  explicit SpatialFixture(const std::vector<float>& samples, const ChannelParam& p)
      : buffer(TestBuffer::Mono(samples)),
        param(p),
        source(std::make_shared<RecordingSource>()),
        renderer(Build(*buffer, param), source) {}
  std::shared_ptr<TestBuffer> buffer;
  ChannelParam param;
  std::shared_ptr<RecordingSource> source;
  SpatialRenderer renderer;
};

TEST(SpatializedRenderer, DistanceGainFromTheSquaredDistance) {
  const std::vector<float> ones(64, 1.0f);
  struct Case {
    orv::Vector3 position;
    float referenceDistance;
    float gain;    // expected distance gain
    float reverb;  // expected reverb factor
  };
  const Case cases[] = {
      {{0.0f, 0.0f, 2.0f}, 1.0f, 0.5f, std::sqrt(0.5f)},
      {{0.5f, 0.0f, 0.0f}, 1.0f, 1.0f, 1.0f},  // inside the reference: full gain
      {{0.0f, 3.0f, 0.0f}, 4.0f, 1.0f / 1.5f, std::sqrt(1.0f / 1.5f)},  // 9 / 4
      {{1.0f, 2.0f, 2.0f}, 1.0f, 1.0f / 3.0f, std::sqrt(1.0f / 3.0f)},
  };
  for (const Case& c : cases) {
    ChannelParam p;
    p.isSpatialized = true;
    p.gain = 0.8f;
    p.reverbGain = 0.6f;
    p.sourcePosition = c.position;
    p.referenceDistance = c.referenceDistance;
    SpatialFixture f(ones, p);
    auto buffers = MakeMixBuffers(16);
    ASSERT_TRUE(f.renderer.Render(0, 16, buffers));
    // Unset gains jump to their targets on the first call: every sample equal.
    for (int i = 0; i < 16; ++i) {
      ASSERT_FLOAT_EQ(buffers.sourceScratch[i], 0.8f * c.gain) << i;
      ASSERT_FLOAT_EQ(buffers.dryMonoSum[i], 0.8f * c.gain) << i;
      ASSERT_FLOAT_EQ(buffers.reverbSend[i], 0.6f * c.reverb) << i;
    }
    // The spatial output is the spatializer's: nothing goes to the dry mix.
    EXPECT_EQ(orvtest::Energy(buffers.mainMix.data(), 32), 0.0);
  }
}

TEST(SpatializedRenderer, GainChangesGlideTenPercentPerSample) {
  const std::vector<float> ones(400, 1.0f);
  ChannelParam p;
  p.isSpatialized = true;
  p.gain = 1.0f;
  p.reverbGain = 1.0f;
  SpatialFixture f(ones, p);
  auto buffers = MakeMixBuffers(300);
  f.renderer.Render(0, 100, buffers);
  f.param.gain = 0.2f;
  f.param.reverbGain = 0.5f;
  f.param.sourcePosition = {0.0f, 0.0f, 2.0f};  // distance gain 0.5 as well
  f.renderer.Render(100, 200, buffers);
  const double targetGain = 0.2 * 0.5, targetReverb = 0.5 * std::sqrt(0.5);
  for (int k = 0; k < 200; ++k) {
    // After k steps, 0.9^k of the gap remains.
    const double gain = targetGain + (1.0 - targetGain) * std::pow(0.9, k);
    const double reverb = targetReverb + (1.0 - targetReverb) * std::pow(0.9, k);
    ASSERT_NEAR(buffers.sourceScratch[100 + k], gain, kRecursionTolerance) << k;
    ASSERT_NEAR(buffers.reverbSend[100 + k], reverb, kRecursionTolerance) << k;
  }
  for (int k = 0; k < 100; ++k) ASSERT_EQ(buffers.sourceScratch[k], 1.0f);
}

TEST(SpatializedRenderer, MixGetsTheProducedSamplesAndTheDirection) {
  const auto samples = orvtest::Noise(100, 9);
  ChannelParam p;
  p.isSpatialized = true;
  p.lowPassCoef = 0.3f;
  p.sourcePosition = {0.25f, -0.5f, 0.125f};
  SpatialFixture f(samples, p);
  auto buffers = MakeMixBuffers(64);
  // Two blocks of 64: the voice has 108 samples, so the second call stops
  // 44 samples in, and a third call finds the voice already ended.
  std::vector<float> scratch;
  ASSERT_TRUE(f.renderer.Render(0, 64, buffers));
  scratch.insert(scratch.end(), buffers.sourceScratch.begin(), buffers.sourceScratch.end());
  buffers = MakeMixBuffers(64);
  ASSERT_FALSE(f.renderer.Render(0, 64, buffers));
  ASSERT_FALSE(f.renderer.Render(10, 20, buffers));

  ASSERT_EQ(f.source->calls.size(), 3u);
  EXPECT_EQ(f.source->calls[0].count, 64);
  EXPECT_EQ(f.source->calls[1].count, 44);
  EXPECT_EQ(f.source->calls[2].count, 0);  // still called: the spatializer hears the end
  EXPECT_EQ(f.source->calls[2].offset, 10);
  EXPECT_EQ(f.source->calls[2].samples, buffers.sourceScratch.data() + 10);
  for (const auto& call : f.source->calls) {
    EXPECT_EQ(call.position.x, 0.25f);
    EXPECT_EQ(call.position.y, -0.5f);
    EXPECT_EQ(call.position.z, 0.125f);
  }
  scratch.insert(scratch.end(), f.source->calls[1].copy.begin(), f.source->calls[1].copy.end());
  EXPECT_EQ(f.source->calls[0].copy, std::vector<float>(scratch.begin(), scratch.begin() + 64));
  // Low-passed samples at unit gain (distance 0.57 < 1), then the tail.
  double y = 0.0;
  for (int i = 0; i < 108; ++i) {
    y += ((i < 100 ? samples[i] : 0.0) - y) * 0.3;
    ASSERT_NEAR(scratch[i], y, kRecursionTolerance) << i;
  }
}

// A stop fades a voice out; one without a usable direction is silent, but
// its fade runs all the same, so the stop still ends it.
TEST(SpatializedRenderer, AFadeEndsAVoiceWithoutADirectionToo) {
  ChannelParam p;
  p.isSpatialized = true;
  p.sourcePosition = {std::numeric_limits<float>::quiet_NaN(), 0.0f, 1.0f};
  SpatialFixture f(std::vector<float>(1000, 0.5f), p);
  auto buffers = MakeMixBuffers(256);
  ASSERT_TRUE(f.renderer.Render(0, 64, buffers));
  f.param.fadeOutFrames = 100;
  f.renderer.ParamUpdated();
  EXPECT_FALSE(f.renderer.Render(64, 192, buffers));  // 936 samples left: the fade ended it
  EXPECT_TRUE(f.source->calls.empty());
}

}  // namespace
