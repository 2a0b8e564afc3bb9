// Spatialized voices in an engine that carries the HRTF set: selection of the
// binaural path, side, and the distance gain as heard at the output.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <vector>

#include "channel/ChannelTestSupport.h"
#include "channel/OrvChannelRenderer.h"
#include "channel/OrvChannelRenderer_Renderers.h"
#include "common/OrvTestUtil.h"
#include "engine/OrvEngine.h"
#include "spatializer/OrvSpatializer_CarriedData.h"

namespace {

using orv::ChannelParam;
using orvtest::TestBuffer;

// The binaural path is linear: scaling the input scales the output up to the
// single-precision rounding of the FFT convolution (relative, |x| <= 1).
constexpr double kConvolutionTolerance = 1e-5;
// Dry voices below full scale pass the output stages unchanged.
constexpr float kExact = 0.0f;

constexpr int kBlock = 512;
constexpr int kBlocks = 6;

// Renders kBlocks blocks of one voice in a fresh engine with the carried set.
std::vector<float> RenderVoice(const std::shared_ptr<TestBuffer>& buffer, const ChannelParam& p,
                               std::shared_ptr<orv::Channel>* channelOut = nullptr) {
  orv::EngineParam param;
  param.UseCarriedHrtf();
  auto engine = std::make_shared<orv::Engine>(param);
  EXPECT_TRUE(engine->spatializer);
  auto channel = engine->CreateChannel(0.0, buffer, p);
  if (channelOut) *channelOut = channel;
  std::vector<float> out(2 * kBlock * kBlocks);
  for (int b = 0; b < kBlocks; ++b) {
    engine->Prerender();
    engine->Render(out.data() + 2 * kBlock * b, kBlock);
  }
  return out;
}

ChannelParam At(orv::Vector3 position) {
  ChannelParam p;
  p.isSpatialized = true;
  p.sourcePosition = position;
  return p;
}

TEST(SpatializedVoices, AreHeardFromTheirSide) {
  const auto buffer = TestBuffer::Mono(orvtest::Noise(2000, 31, 0.1f));
  const auto right = RenderVoice(buffer, At({1.0f, 0.0f, 0.0f}));
  const auto left = RenderVoice(buffer, At({-1.0f, 0.0f, 0.0f}));
  const std::size_t n = right.size();
  // Energy of the left (even) and right (odd) output channels.
  const double rightL = orvtest::Energy(right.data(), n, 2);
  const double rightR = orvtest::Energy(right.data() + 1, n - 1, 2);
  const double leftL = orvtest::Energy(left.data(), n, 2);
  const double leftR = orvtest::Energy(left.data() + 1, n - 1, 2);
  EXPECT_GT(rightR, 2.0 * rightL);
  EXPECT_GT(leftL, 2.0 * leftR);
  EXPECT_GT(rightL, 0.0);  // the far ear hears it too: not a dry pan
}

TEST(SpatializedVoices, DistanceGainScalesTheBinauralSignal) {
  const auto buffer = TestBuffer::Mono(orvtest::Noise(2000, 32, 0.2f));
  const auto near = RenderVoice(buffer, At({0.0f, 0.0f, 1.0f}));
  const auto inside = RenderVoice(buffer, At({0.0f, 0.0f, 0.5f}));
  const auto far = RenderVoice(buffer, At({0.0f, 0.0f, 4.0f}));
  ASSERT_GT(orvtest::Rms(near.data(), near.size()), 0.01);
  // Inside the reference distance: full gain, the same direction, the same output.
  EXPECT_EQ(inside, near);
  // Four times the distance: gain 1 / sqrt(16).
  std::vector<float> quarter(near.size());
  for (std::size_t i = 0; i < near.size(); ++i) quarter[i] = 0.25f * near[i];
  EXPECT_LT(orvtest::RelativeRmsError(far.data(), quarter.data(), far.size()),
            kConvolutionTolerance);

  ChannelParam scaled = At({0.0f, 0.0f, 4.0f});
  scaled.referenceDistance = 16.0f;  // compared with the squared distance: gain 1 again
  EXPECT_EQ(RenderVoice(buffer, scaled), near);
}

TEST(SpatializedVoices, OneShotEndsAndTheConvolutionTailFollows) {
  const auto buffer = TestBuffer::Mono(orvtest::Noise(300, 33, 0.2f));
  std::shared_ptr<orv::Channel> channel;
  const auto out = RenderVoice(buffer, At({0.5f, 0.0f, 0.5f}), &channel);
  EXPECT_FALSE(channel->IsPlaying());
  // The source's last samples reach the spatializer and ring on after the voice.
  EXPECT_GT(orvtest::Energy(out.data() + 2 * 308, 2 * 200), 0.0);
}

TEST(SpatializedVoices, StereoAndUnspatializedVoicesStayDry) {
  const auto l = orvtest::Noise(600, 34, 0.3f), r = orvtest::Noise(600, 35, 0.3f);
  std::vector<float> interleaved;
  for (int i = 0; i < 600; ++i) {
    interleaved.push_back(l[i]);
    interleaved.push_back(r[i]);
  }
  const auto stereo = RenderVoice(TestBuffer::Make(interleaved, 2, orv::kAudioFormatFloat32),
                                  At({1.0f, 0.0f, 0.0f}));
  for (int i = 0; i < 600; ++i) {
    ASSERT_NEAR(stereo[2 * i], l[i], kExact) << i;
    ASSERT_NEAR(stereo[2 * i + 1], r[i], kExact) << i;
  }
  ChannelParam dry = At({1.0f, 0.0f, 0.0f});
  dry.isSpatialized = false;
  const auto mono = RenderVoice(TestBuffer::Mono(l), dry);
  for (int i = 0; i < 600; ++i) {
    ASSERT_NEAR(mono[2 * i], l[i], kExact) << i;
    ASSERT_NEAR(mono[2 * i + 1], l[i], kExact) << i;
  }
}

// Voice A without a usable direction (at the listener with reference
// distance 0, then at a NaN position) is silent and leaves voice B, at the
// same direction it gets later, sounding exactly as alone; once A's position
// is sane it sounds as a voice started there would.
TEST(SpatializedVoices, AVoiceWithoutADirectionIsSilentAndLeavesOthersAlone) {
  const auto buffer = TestBuffer::Mono(orvtest::Noise(4 * kBlock * kBlocks, 36, 0.1f));
  const ChannelParam b = At({0.0f, 0.0f, 1.0f});
  ChannelParam a = At({0.0f, 0.0f, 0.0f});
  a.referenceDistance = 0.0f;  // distance gain 0 / 0
  ChannelParam nan = At({std::numeric_limits<float>::quiet_NaN(), 0.0f, 1.0f});
  ChannelParam sane = b;
  sane.position = 4.0 * kBlock;  // where A's cursor is by then: silence does not stop it
  // Renders B, A (from block 0, or from block 4 at its later position) and
  // the changes of A's position.
  const auto render = [&](bool withA, bool aLate) {
    orv::EngineParam param;
    param.UseCarriedHrtf();
    auto engine = std::make_shared<orv::Engine>(param);
    engine->CreateChannel(0.0, buffer, b);
    std::shared_ptr<orv::Channel> voiceA;
    if (withA) voiceA = engine->CreateChannel(aLate ? 4.0 * kBlock : 0.0, buffer, aLate ? sane : a);
    std::vector<float> out(2 * kBlock * kBlocks);
    for (int block = 0; block < kBlocks; ++block) {
      if (withA && !aLate && block == 2) voiceA->UpdateChannelParam(0.0, nan);
      if (withA && !aLate && block == 4) voiceA->UpdateChannelParam(0.0, sane);
      engine->Prerender();
      engine->Render(out.data() + 2 * kBlock * block, kBlock);
    }
    return out;
  };
  const auto alone = render(false, false);
  const auto silentThenSane = render(true, false);
  const auto startedLate = render(true, true);
  ASSERT_GT(orvtest::Rms(alone.data(), alone.size()), 0.001);
  const std::size_t silentPart = 2 * kBlock * 4;
  EXPECT_EQ(std::vector<float>(silentThenSane.begin(), silentThenSane.begin() + silentPart),
            std::vector<float>(alone.begin(), alone.begin() + silentPart));
  EXPECT_EQ(silentThenSane, startedLate);
  EXPECT_GT(orvtest::Energy(silentThenSane.data() + silentPart, alone.size() - silentPart),
            2.0 * orvtest::Energy(alone.data() + silentPart, alone.size() - silentPart));
}

// A spatializer source that never hands out its input: every call goes
// through Mix, the path of a voice that changes angle.
struct MixOnlySource {
  float* SteadyInput(int /*offset*/, const orv::Vector3& /*position*/, std::size_t /*lane*/) {
    return nullptr;
  }
  void Mix(const float* samples, int offset, int count, const orv::Vector3& position,
           std::size_t lane) {
    source->Mix(samples, offset, count, position, lane);
  }
  int Group() const noexcept { return source->Group(); }
  std::shared_ptr<orv::Spatializer::Source> source;
};

// A steady voice adds its samples straight into the spatializer's input; the
// output must be what mixing through the source gives, bit for bit, across
// partial blocks, gain glides, a low-pass, and a move that crossfades.
TEST(SpatializedVoices, MixingStraightIntoTheInputSoundsAsMixingThroughTheSource) {
  using Sampler = orv::LinearSampler<1, orv::kAudioFormatFloat32, false>;
  const auto buffer = TestBuffer::Mono(orvtest::Noise(kBlock * kBlocks, 33, 0.3f));
  const auto render = [&](auto makeSource) {
    auto spatializer = std::make_shared<orv::Spatializer>(orv::kCarriedHrtfData,
                                                          orv::kCarriedHrtfDataSize, 48000.0);
    ChannelParam p = At({1.0f, 0.5f, 2.0f});
    p.lowPassCoef = 0.6f;
    p.shouldGlideGains = true;
    const orv::Channel::RendererBuildParam build{
        buffer.get(), &p, 1, 1, orv::kAudioFormatFloat32, 48000.0, spatializer.get()};
    auto source = makeSource(*spatializer);
    orv::SpatializedRenderer<Sampler, typename decltype(source)::element_type> renderer(build,
                                                                                        source);
    auto buffers = orvtest::MakeMixBuffers(kBlock);
    std::vector<float> out(2 * kBlock * kBlocks, 0.0f);
    for (int b = 0; b < kBlocks; ++b) {
      std::fill(buffers.sourceScratch.begin(), buffers.sourceScratch.end(), 0.0f);
      spatializer->BeginRender(kBlock, 1, 1);
      renderer.Render(0, 200, buffers);
      if (b == 2) p.gain = 0.4f;
      if (b == 3) p.sourcePosition = {-2.0f, 0.0f, 0.3f};
      renderer.ParamUpdated();
      renderer.Render(200, kBlock - 200, buffers);
      const std::size_t groups = spatializer->PrepareEndRender();
      for (std::size_t g = 0; g < groups; ++g) spatializer->EndRender(g);
      spatializer->FinishRender(out.data() + 2 * kBlock * b);
    }
    return out;
  };
  const auto direct = render([](orv::Spatializer& sp) { return sp.CreateSource(); });
  const auto throughMix = render([](orv::Spatializer& sp) {
    return std::make_shared<MixOnlySource>(MixOnlySource{sp.CreateSource()});
  });
  ASSERT_GT(orvtest::Rms(direct.data(), direct.size()), 0.01);
  EXPECT_EQ(direct, throughMix);
}

}  // namespace
