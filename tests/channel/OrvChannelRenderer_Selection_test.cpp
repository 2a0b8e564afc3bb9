// Renderer selection: every combination of channel count, format, loop
// setting and interpolation mode reaches the renderer of its own sampler, and
// the three switches reject what they do not know.
#include "channel/OrvChannelRenderer_Selection.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channel/ChannelTestSupport.h"
#include "common/OrvException.h"
#include "common/OrvTestUtil.h"
#include "engine/OrvEngine.h"

namespace {

using orv::AudioFormat;
using orv::ChannelParam;
using orvtest::MakeMixBuffers;
using orvtest::RandomBuffer;
using orvtest::TestBuffer;

// The chosen renderer and the sampler read directly do the same arithmetic.
constexpr float kSameArithmetic = 0.0f;
constexpr int kCount = 64;

std::shared_ptr<orv::Engine> MakeEngine(bool withSpatializer) {
  orv::EngineParam param;
  if (withSpatializer) param.UseCarriedHrtf();
  return std::make_shared<orv::Engine>(param);
}

ChannelParam VoiceParam(bool looped) {
  ChannelParam p;
  p.isLooped = looped;
  p.loopStart = 7;
  p.loopEnd = 31;
  p.position = 2.6;
  p.speed = 0.85;
  return p;
}

// Renders kCount samples through the renderer the chain picks and compares
// them with the expected sampler, read along the same cursor.
template <template <int, AudioFormat, bool> class Sampler, int numChannels, AudioFormat format,
          bool looped>
void CheckCombination(orv::Engine& engine, int mode) {
  SCOPED_TRACE(::testing::Message() << "channels " << numChannels << " format " << format
                                    << " looped " << looped << " mode " << mode);
  const auto buffer = RandomBuffer(numChannels, format);
  ChannelParam param = VoiceParam(looped);
  const orv::Channel::RendererBuildParam build{buffer.get(),
                                               &param,
                                               mode,
                                               numChannels,
                                               format,
                                               engine.param.samplingRate,
                                               engine.spatializer.get()};
  const auto renderer = orv::RendererBuilder::NumChannelsSelector::Get(build);
  auto buffers = MakeMixBuffers(kCount);
  ASSERT_TRUE(renderer->Render(0, kCount, buffers));

  ChannelParam referenceParam = VoiceParam(looped);
  const Sampler<numChannels, format, looped> sampler(*buffer, &referenceParam);
  double x = 2.6;
  bool inLoop = false;
  for (int k = 0; k < kCount; ++k) {
    const float left = sampler.GetSample(x, 0, inLoop);
    const float right = sampler.GetSample(x, numChannels - 1, inLoop);
    ASSERT_NEAR(buffers.mainMix[2 * k], left, kSameArithmetic) << k;
    ASSERT_NEAR(buffers.mainMix[2 * k + 1], right, kSameArithmetic) << k;
    x += 0.85;
    if (looped) {
      if (x >= 7.0) inLoop = true;
      while (x >= 31.0) x -= 24.0;
    }
  }
}

template <int numChannels, AudioFormat format, bool looped>
void CheckModes(orv::Engine& engine) {
  CheckCombination<orv::NearestSampler, numChannels, format, looped>(engine, 0);
  CheckCombination<orv::LinearSampler, numChannels, format, looped>(engine, 1);
  CheckCombination<orv::CubicSampler, numChannels, format, looped>(engine, 2);
}

template <int numChannels, AudioFormat format>
void CheckLoopSettings(orv::Engine& engine) {
  CheckModes<numChannels, format, false>(engine);
  CheckModes<numChannels, format, true>(engine);
}

TEST(RendererSelection, EachCombinationGetsItsOwnSampler) {
  const auto engine = MakeEngine(false);
  CheckLoopSettings<1, orv::kAudioFormatUInt8>(*engine);
  CheckLoopSettings<1, orv::kAudioFormatInt16>(*engine);
  CheckLoopSettings<1, orv::kAudioFormatFloat32>(*engine);
  CheckLoopSettings<2, orv::kAudioFormatUInt8>(*engine);
  CheckLoopSettings<2, orv::kAudioFormatInt16>(*engine);
  CheckLoopSettings<2, orv::kAudioFormatFloat32>(*engine);
}

std::string Rejection(orv::Engine& engine, int numChannels, int format, int mode) {
  const auto buffer = TestBuffer::Mono(std::vector<float>(8, 0.0f));
  ChannelParam param;
  const orv::Channel::RendererBuildParam build{buffer.get(),
                                               &param,
                                               mode,
                                               numChannels,
                                               static_cast<AudioFormat>(format),
                                               engine.param.samplingRate,
                                               engine.spatializer.get()};
  try {
    orv::RendererBuilder::NumChannelsSelector::Get(build);
  } catch (const orv::Exception& e) {
    return e.what();
  }
  return "";
}

TEST(RendererSelection, UnknownValuesAreRejectedLevelByLevel) {
  const auto engine = MakeEngine(false);
  EXPECT_EQ(Rejection(*engine, 3, 7, 9), "Invalid channel count: 3");
  EXPECT_EQ(Rejection(*engine, 0, 0, 1), "Invalid channel count: 0");
  EXPECT_EQ(Rejection(*engine, -2, 0, 1), "Invalid channel count: -2");
  EXPECT_EQ(Rejection(*engine, 1, 3, 9), "Invalid audio format: 3");
  EXPECT_EQ(Rejection(*engine, 2, -1, 1), "Invalid audio format: -1");
  EXPECT_EQ(Rejection(*engine, 1, 2, 3), "Invalid interpolation mode: 3");
  EXPECT_EQ(Rejection(*engine, 2, 0, -1), "Invalid interpolation mode: -1");
  EXPECT_EQ(Rejection(*engine, 1, 2, 1), "");
}

TEST(RendererSelection, MonoVoicesAskingForItGoBinauralWhenThereIsASpatializer) {
  const auto engine = MakeEngine(true);
  const auto buffer = TestBuffer::Mono(std::vector<float>(100, 0.5f));
  for (bool spatialized : {false, true}) {
    ChannelParam param;
    param.isSpatialized = spatialized;
    const orv::Channel::RendererBuildParam build{buffer.get(),
                                                 &param,
                                                 1,
                                                 1,
                                                 orv::kAudioFormatFloat32,
                                                 engine->param.samplingRate,
                                                 engine->spatializer.get()};
    const auto renderer = orv::RendererBuilder::NumChannelsSelector::Get(build);
    engine->spatializer->BeginRender(kCount);
    auto buffers = MakeMixBuffers(kCount);
    ASSERT_TRUE(renderer->Render(0, kCount, buffers));
    // The binaural kind writes the source and the bass enhancer's input; the
    // centred kind writes the dry mix.
    EXPECT_EQ(orvtest::Energy(buffers.dryMonoSum.data(), kCount) > 0.0, spatialized);
    EXPECT_EQ(orvtest::Energy(buffers.mainMix.data(), 2 * kCount) > 0.0, !spatialized);
  }
}

}  // namespace
