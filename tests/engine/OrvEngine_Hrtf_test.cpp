// Engine::LoadHrtf: a new set comes in at a block boundary while a voice
// plays, without a click, and from then on the engine sounds as one built
// with that set; bad data is refused and changes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

#include "channel/ChannelTestSupport.h"
#include "channel/OrvChannelRenderer.h"
#include "common/OrvException.h"
#include "common/OrvTestUtil.h"
#include "engine/OrvEngine.h"
#include "spatializer/OrvSpatializer_CarriedData.h"
#include "spatializer/OrvSpatializer_HrtfSet.h"

namespace orv {
namespace {

constexpr int kBlock = 512;
constexpr double kRate = 48000.0;

// The carried set as a host would bring it: converted to 44.1 kHz (written
// with its rate record). Loaded at 48 kHz it comes back as 256 taps, so the
// swap also brings a bank of a new size.
std::vector<unsigned char> CarriedSetAt44100() {
  return WriteHrtfRecords(
      ResampleHrtfSet(LoadHrtfSet(kCarriedHrtfData, kCarriedHrtfDataSize), 44100.0));
}

// One engine playing a looped 1 kHz tone from 60 degrees to the right.
struct TonePlayer {
  explicit TonePlayer(const void* hrtf, std::size_t size) {
    EngineParam param;
    param.samplingRate = kRate;
    param.hrtfData = hrtf;
    param.hrtfDataSize = size;
    engine = std::make_shared<Engine>(param);
    ChannelParam p;
    p.isLooped = true;
    p.loopEnd = 48000;  // 1000 whole periods: a seamless loop
    p.isSpatialized = true;
    p.sourcePosition = {1.7320508f, 0.0f, 1.0f};
    channel = engine->CreateChannel(
        0.0, orvtest::TestBuffer::Mono(orvtest::Sine(48000, 1000.0, kRate, 0.5f)), p);
  }

  // Renders blocks more blocks onto output.
  void Render(int blocks) {
    for (int b = 0; b < blocks; ++b) {
      output.resize(output.size() + 2 * kBlock);
      engine->Prerender();
      engine->Render(output.data() + output.size() - 2 * kBlock, kBlock);
    }
  }

  std::shared_ptr<Engine> engine;
  std::shared_ptr<Channel> channel;
  std::vector<float> output;  // interleaved stereo
};

// The largest step between neighbouring samples of either ear in frames
// [first, last).
float LargestStep(const std::vector<float>& stereo, std::size_t first, std::size_t last) {
  float step = 0.0f;
  for (std::size_t n = std::max<std::size_t>(first, 1); n < last; ++n)
    for (int ear = 0; ear < 2; ++ear)
      step = std::max(step, std::abs(stereo[2 * n + ear] - stereo[2 * (n - 1) + ear]));
  return step;
}

TEST(EngineHrtf, ALoadedSetTakesOverAtABlockBoundaryWithoutAClick) {
  // The steepest a 1 kHz tone through either set gets is its still-source
  // figure; the crossfade between the sets may blend two phases of it, not
  // jump. 10 % covers the blend of two slightly different levels.
  constexpr float kClickTolerance = 1.1f;
  // The equaliser's filters carry the rounding of what they filtered before
  // the swap: 3e-6 is 88 dB below the tone's peak of 0.073.
  constexpr float kMatchTolerance = 3e-6f;
  constexpr int kBlocksBefore = 20, kBlocksAfter = 20;
  // The fade (128 frames), the old set's latency (128) and the new set's
  // (256) are over within two blocks of the swap, the equaliser's memory of
  // them within three.
  constexpr int kSettleBlocks = 3;

  const std::vector<unsigned char> converted = CarriedSetAt44100();
  TonePlayer player(kCarriedHrtfData, kCarriedHrtfDataSize);
  TonePlayer unchanged(kCarriedHrtfData, kCarriedHrtfDataSize);
  TonePlayer fresh(converted.data(), converted.size());

  player.Render(kBlocksBefore / 2);
  // Bad data is refused with its reason, and the set in use stays.
  const char garbage[] = "ORVHRTFD\x01\x00\x00\x00not a ring";
  try {
    player.engine->LoadHrtf(garbage, sizeof garbage - 1);
    ADD_FAILURE() << "garbage was loaded";
  } catch (const Exception& error) {
    EXPECT_STREQ(error.what(),
                 "Invalid ORV HRTF data: file truncated: header of ring 0, angle 0 at offset 20 "
                 "needs 8 bytes, 2 remain.");
  }
  EXPECT_THROW(player.engine->LoadHrtf(kCarriedHrtfData, 100), Exception);
  player.Render(kBlocksBefore / 2);
  unchanged.Render(kBlocksBefore);
  ASSERT_EQ(player.output, unchanged.output);

  player.engine->LoadHrtf(converted.data(), converted.size());
  player.Render(kBlocksAfter);
  unchanged.Render(kBlocksAfter);
  fresh.Render(kBlocksBefore + kBlocksAfter);

  const std::size_t swap = kBlocksBefore * kBlock;
  const float still = std::max(LargestStep(unchanged.output, kBlock, swap),
                               LargestStep(fresh.output, kBlock, swap));
  EXPECT_LE(LargestStep(player.output, swap - kBlock, swap + 2 * kBlock), kClickTolerance * still);
  // The old set is gone from the sound: the player is the fresh engine.
  const std::size_t settled = 2 * (swap + kSettleBlocks * kBlock);
  const float difference =
      orvtest::MaxAbsDifference(player.output.data() + settled, fresh.output.data() + settled,
                                player.output.size() - settled);
  EXPECT_LE(difference, kMatchTolerance);
  // ... and a different sound from the one it had: the swap happened.
  EXPECT_GT(
      orvtest::MaxAbsDifference(player.output.data() + settled, unchanged.output.data() + settled,
                                player.output.size() - settled),
      100 * kMatchTolerance);
}

// Loads from a host thread while the render thread renders: sets are
// dropped before they are swapped in, swapped in mid-fade, retired while
// voices still use them. Under ThreadSanitizer this is the race check; in
// any build the set in use at the end is the last one loaded.
TEST(EngineHrtf, LoadsRacingTheRenderThreadEndInTheLastSet) {
  constexpr float kMatchTolerance = 3e-6f;  // as above: the equaliser's memory
  constexpr int kBlocks = 60, kLoads = 40, kSettleBlocks = 3;
  const std::vector<unsigned char> converted = CarriedSetAt44100();
  TonePlayer player(kCarriedHrtfData, kCarriedHrtfDataSize);
  TonePlayer fresh(converted.data(), converted.size());
  std::thread host([&] {
    for (int i = 0; i < kLoads; ++i) {
      if (i % 2)
        player.engine->LoadHrtf(converted.data(), converted.size());
      else
        player.engine->LoadHrtf(kCarriedHrtfData, kCarriedHrtfDataSize);
      std::this_thread::yield();
    }
    player.engine->LoadHrtf(converted.data(), converted.size());
  });
  player.Render(kBlocks);
  host.join();
  player.Render(kSettleBlocks + 2);
  fresh.Render(kBlocks + kSettleBlocks + 2);
  const std::size_t settled = 2 * (kBlocks + kSettleBlocks) * kBlock;
  EXPECT_LE(orvtest::MaxAbsDifference(player.output.data() + settled, fresh.output.data() + settled,
                                      player.output.size() - settled),
            kMatchTolerance);
}

}  // namespace
}  // namespace orv
