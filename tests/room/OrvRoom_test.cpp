// The Room on its own: the block-wise reverb against the per-sample form it
// replaced, the staged calls on two threads, and the layers derived from a
// room description.
#include "room/OrvRoom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "common/OrvTestUtil.h"

namespace {

using orv::ReverbLayers;
using orv::Room;

// Three rooms the settings jump between: the default one, one derived from a
// description, and one with other line lengths and pre-delays (lengths change
// while the lines ring, which keeps them uncleared).
const ReverbLayers kRooms[] = {
    orv::kDefaultReverbLayers,
    orv::DeriveReverbLayers(0.9f, 300.0f, 150.0f, 0.8f),
    {{{0.4f, 0.002f, 0.2f, 0.0021f}, {0.25f, 0.02f, 0.8f, 0.011f}, {0.2f, 0.05f, 2.0f, 0.0005f}}},
};
// A room whose tails die within a fraction of a second.
constexpr ReverbLayers kDeadRoom = {
    {{0.3f, 0.001f, 0.02f, 0.0f}, {0.2f, 0.013f, 0.02f, 0.0f}, {0.17f, 0.036f, 0.02f, 0.0f}}};

// Both forms perform the same operations in the same order; the only
// difference allowed is the residue a quiet tail leaves (600 dB down),
// which the block form drops.
constexpr double kFormTolerance = 1e-5;

TEST(Room, BlocksMatchThePerSampleForm) {
  // 10 s of noise in two halves around 6 s of silence: the settings change
  // between irregular blocks while the noise plays, and the silence comes
  // in a dead room (the block form settles and skips).
  const int kBlockSizes[] = {1, 100, 512, 4096, 37};
  for (const double rate : {8000.0, 44100.0, 48000.0, 192000.0}) {
    SCOPED_TRACE(rate);
    const auto frames = static_cast<std::size_t>(16.0 * rate);
    std::vector<float> send = orvtest::Noise(frames, 31, 0.5f);
    std::fill(send.begin() + static_cast<std::ptrdiff_t>(5.0 * rate),
              send.begin() + static_cast<std::ptrdiff_t>(11.0 * rate), 0.0f);
    Room blocks(rate), reference(rate);
    std::vector<float> mix(2 * frames, 0.0f), dry(frames, 0.0f);
    std::vector<float> expectedMix(2 * frames, 0.0f), expectedDry(frames, 0.0f);
    bool hasSkipped = false;
    std::size_t done = 0;
    for (std::size_t b = 0; done < frames; ++b) {
      const double time = static_cast<double>(done) / rate;
      const bool isSilent = time >= 5.0 && time < 11.0;
      const ReverbLayers& layers = isSilent ? kDeadRoom : kRooms[(b / 3) % 3];
      const int n = static_cast<int>(std::min<std::size_t>(kBlockSizes[b % 5], frames - done));
      blocks.SetLayers(layers);
      reference.SetLayers(layers);
      blocks.RenderReverb(send.data() + done, mix.data() + 2 * done, dry.data() + done, n);
      reference.RenderReverbPerSample(send.data() + done, expectedMix.data() + 2 * done,
                                      expectedDry.data() + done, n);
      hasSkipped = hasSkipped || (isSilent && blocks.IsReverbSilent());
      done += static_cast<std::size_t>(n);
    }
    EXPECT_GT(orvtest::Rms(expectedMix.data(), expectedMix.size()), 1e-3) << "the room rings";
    EXPECT_LE(orvtest::RelativeRmsError(mix.data(), expectedMix.data(), mix.size()),
              kFormTolerance);
    EXPECT_LE(orvtest::RelativeRmsError(dry.data(), expectedDry.data(), dry.size()),
              kFormTolerance);
    EXPECT_TRUE(hasSkipped) << "the dead room settles into silence";
  }
}

TEST(Room, LayersOnTwoThreadsGiveTheSameOutput) {
  constexpr double kRate = 48000.0;
  constexpr int kBlock = 512;
  const std::vector<float> send = orvtest::Noise(40 * kBlock, 32, 0.5f);
  Room single(kRate), split(kRate);
  std::vector<float> mix(2 * send.size(), 0.0f), dry(send.size(), 0.0f);
  std::vector<float> splitMix = mix, splitDry = dry;
  for (std::size_t i = 0; i < send.size(); i += kBlock) {
    single.RenderReverb(send.data() + i, mix.data() + 2 * i, dry.data() + i, kBlock);
    split.BeginReverb(send.data() + i, kBlock);
    std::thread worker([&split] { split.RenderLayers(orv::kLongLayer, orv::kNumReverbLayers); });
    split.RenderLayers(orv::kShortLayer, orv::kLongLayer);
    worker.join();
    split.EndReverb(splitMix.data() + 2 * i, splitDry.data() + i);
  }
  EXPECT_EQ(splitMix, mix);
  EXPECT_EQ(splitDry, dry);
}

TEST(Equalizer, PipelineMatchesFrameByFrame) {
  // Blocks shorter than the pipeline, around its chunk and longer; frames
  // with NaN (entering as silence) and a burst that overflows the filters
  // (they restart): the same operations per band, so the same bits.
  const int kBlockSizes[] = {1, 5, 6, 255, 256, 257, 1000, 3};
  std::vector<float> in = orvtest::Noise(2 * 20000, 33, 0.5f);
  in[2 * 777] = std::numeric_limits<float>::quiet_NaN();
  std::fill(in.begin() + 2 * 9000, in.begin() + 2 * 9010, std::numeric_limits<float>::max());
  for (const float rate : {8000.0f, 48000.0f}) {
    orv::Equalizer pipelined(rate), reference(rate);
    std::vector<float> out(in.size(), 0.25f), expected(in.size(), 0.25f);
    std::size_t done = 0;
    for (std::size_t k = 0; done < in.size() / 2; ++k) {
      const int n =
          static_cast<int>(std::min<std::size_t>(kBlockSizes[k % 8], in.size() / 2 - done));
      pipelined.Process(in.data() + 2 * done, out.data() + 2 * done, n);
      reference.ProcessScalar(in.data() + 2 * done, expected.data() + 2 * done, n);
      done += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(out, expected) << rate;
    EXPECT_GT(orvtest::Rms(out.data(), 2 * 9000), 0.1) << "the signal passes";
  }
}

TEST(RoomLayers, DerivedFromTheRoomDescription) {
  // Independent evaluation in double of the Sabine time and the level.
  struct Description {
    float reflectivity, volume, area, enclosure;
  };
  for (const Description d :
       {Description{0.5f, 200.0f, 200.0f, 0.8f}, Description{1.0f, 5000.0f, 1000.0f, 1.0f},
        Description{0.2f, 1e6f, 0.0f, 0.1f}}) {
    const double t = std::clamp(d.volume * 0.161 / std::max(d.area, 0.01f) / 0.4 * 1.5, 1.2, 15.0);
    const double level =
        std::clamp((std::pow(d.reflectivity, 4.0) * std::pow(d.enclosure, 3.0) * 0.34 + 0.02) * 0.5,
                   0.01, 0.5);
    const ReverbLayers layers =
        orv::DeriveReverbLayers(d.reflectivity, d.volume, d.area, d.enclosure);
    constexpr double kFloatTolerance = 1e-6;  // a few float roundings
    EXPECT_NEAR(layers[2].rt60Time, t, kFloatTolerance * t);
    EXPECT_NEAR(layers[1].rt60Time, 0.3 * t, kFloatTolerance * t);
    EXPECT_EQ(layers[0].rt60Time, 0.1f);
    EXPECT_NEAR(layers[2].gain, level, kFloatTolerance * level);
    EXPECT_EQ(layers[1].gain, layers[2].gain) << "T >= 1.2 makes K = L";
    EXPECT_EQ(layers[0].gain, 0.5f * layers[2].gain);
    EXPECT_EQ(layers[0].size, 0.001f);
    EXPECT_EQ(layers[1].size, 0.013f);
    EXPECT_EQ(layers[2].size, 0.036f);
    for (const auto& layer : layers) EXPECT_EQ(layer.preDelay, 0.0f);
  }
  // A NaN description gives the low end of every clamp.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const ReverbLayers layers = orv::DeriveReverbLayers(nan, nan, nan, nan);
  EXPECT_EQ(layers[2].rt60Time, 1.2f);
  EXPECT_EQ(layers[2].gain, 0.01f);
}

}  // namespace
