// Voices inside a real engine (no spatializer): what a host hears. Only
// non-spatialized voices with no reverb send are used where exact output is
// asserted: their signal reaches the output through the dry mix alone, and the
// limiter is transparent below full scale.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "channel/ChannelTestSupport.h"
#include "channel/OrvChannelRenderer.h"
#include "common/OrvException.h"
#include "common/OrvTestUtil.h"
#include "engine/OrvEngine.h"

namespace {

using orv::ChannelParam;
using orvtest::TestBuffer;

// Dry voices below full scale pass the output stages unchanged.
constexpr float kExact = 0.0f;
// Double-precision references of the single-precision one-pole recursion.
constexpr float kRecursionTolerance = 1e-5f;

class EngineVoices : public ::testing::Test {
 protected:
  EngineVoices() {
    orv::EngineParam param;
    param.samplingRate = 48000.0;
    param.numChannels = 2;
    param.numThreads = 1;
    engine = std::make_shared<orv::Engine>(param);
  }

  // Renders one block of n frames; returns the interleaved output.
  std::vector<float> Block(int n) {
    std::vector<float> out(2 * static_cast<std::size_t>(n), -99.0f);
    engine->Prerender();
    engine->Render(out.data(), n);
    return out;
  }

  // Renders the given block lengths back to back; returns the left channel
  // and checks that the right one equals it when mono is true.
  std::vector<float> Left(const std::vector<int>& blocks, bool mono = true) {
    std::vector<float> left;
    for (int n : blocks) {
      const auto out = Block(n);
      for (int i = 0; i < n; ++i) {
        left.push_back(out[2 * i]);
        if (mono) {
          EXPECT_EQ(out[2 * i], out[2 * i + 1]) << "frame " << left.size() - 1;
        }
      }
    }
    return left;
  }

  std::shared_ptr<orv::Channel> Play(std::shared_ptr<TestBuffer> buffer, double delay = 0.0,
                                     const ChannelParam& param = ChannelParam{}) {
    return engine->CreateChannel(delay, std::move(buffer), param);
  }

  bool Registered(const std::shared_ptr<orv::Channel>& channel) {
    for (const auto& c : engine->pendingChannels) {
      if (c == channel) return true;
    }
    return false;
  }

  std::shared_ptr<orv::Engine> engine;
};

// The message a call throws, or "" when it does not.
template <class F>
std::string Thrown(F&& f) {
  try {
    f();
  } catch (const orv::Exception& e) {
    return e.what();
  }
  return "";
}

std::vector<float> Zeros(std::size_t n) { return std::vector<float>(n, 0.0f); }

// --- Output ------------------------------------------------------------------

TEST_F(EngineVoices, LocalFloatBufferComesOutSampleExact) {
  const auto samples = orvtest::Noise(1000, 21, 0.9f);
  const auto channel = Play(TestBuffer::Mono(samples));
  // Uneven blocks: cutting must not show in the output.
  const auto left = Left({512, 1, 300, 99, 200});
  for (std::size_t i = 0; i < 1000; ++i) ASSERT_NEAR(left[i], samples[i], kExact) << i;
  for (std::size_t i = 1000; i < left.size(); ++i) ASSERT_EQ(left[i], 0.0f) << i;
  EXPECT_FALSE(channel->IsPlaying());
  EXPECT_FALSE(Registered(channel));
}

TEST_F(EngineVoices, EightAndSixteenBitSamplesAreConverted) {
  std::vector<std::uint8_t> bytes;
  std::vector<std::int16_t> shorts;
  for (int i = 0; i < 256; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(i));
    shorts.push_back(static_cast<std::int16_t>(i * 211 - 27000));
  }
  Play(TestBuffer::Make(bytes, 1, orv::kAudioFormatUInt8));
  const auto left8 = Left({256});
  for (int i = 0; i < 256; ++i) ASSERT_NEAR(left8[i], (i - 128) / 128.0f, kExact) << i;
  Left({16});  // the 8-frame tail: the voice ends

  Play(TestBuffer::Make(shorts, 1, orv::kAudioFormatInt16));
  const auto left16 = Left({256});
  for (int i = 0; i < 256; ++i) ASSERT_NEAR(left16[i], shorts[i] / 32768.0f, kExact) << i;
}

TEST_F(EngineVoices, StereoBufferKeepsItsSides) {
  const auto l = orvtest::Noise(300, 1, 0.5f), r = orvtest::Noise(300, 2, 0.5f);
  std::vector<float> interleaved;
  for (int i = 0; i < 300; ++i) {
    interleaved.push_back(l[i]);
    interleaved.push_back(r[i]);
  }
  ChannelParam p;
  p.isSpatialized = true;  // ignored for stereo voices
  Play(TestBuffer::Make(interleaved, 2, orv::kAudioFormatFloat32), 0.0, p);
  const auto out = Block(300);
  for (int i = 0; i < 300; ++i) {
    ASSERT_NEAR(out[2 * i], l[i], kExact) << i;
    ASSERT_NEAR(out[2 * i + 1], r[i], kExact) << i;
  }
}

TEST_F(EngineVoices, MonoVoiceAskingForSpatializationRendersCentredWithoutSpatializer) {
  ASSERT_FALSE(engine->spatializer);
  const auto samples = orvtest::Noise(200, 4, 0.5f);
  ChannelParam p;
  p.isSpatialized = true;
  p.sourcePosition = {0.0f, 0.0f, 4.0f};  // no distance gain on the centred path
  Play(TestBuffer::Mono(samples), 0.0, p);
  const auto left = Left({200});
  for (int i = 0; i < 200; ++i) ASSERT_NEAR(left[i], samples[i], kExact) << i;
}

TEST_F(EngineVoices, SpeedTwoAndHalfRateBufferReadAsLinearInterpolation) {
  const auto samples = orvtest::Sine(1200, 300.0, 48000.0, 0.8f);
  ChannelParam fast;
  fast.speed = 2.0;
  Play(TestBuffer::Mono(samples), 0.0, fast);
  const auto doubled = Left({512});
  for (int k = 0; k < 512; ++k) ASSERT_NEAR(doubled[k], samples[2 * k], kExact) << k;
  Left({512});  // let it end

  Play(TestBuffer::Mono(samples, 24000.0));
  const auto stretched = Left({512, 512});
  for (int k = 0; k + 1 < 1024; ++k) {
    const int i = k / 2;
    const float t = (k % 2) * 0.5f;
    ASSERT_NEAR(stretched[k], samples[i] + (samples[i + 1] - samples[i]) * t, kExact) << k;
  }
}

// --- Time stamps ------------------------------------------------------------------

TEST_F(EngineVoices, StartDelayDropsTheFraction) {
  const auto samples = orvtest::Noise(64, 5, 0.5f);
  Play(TestBuffer::Mono(samples), 2.7);
  const auto left = Left({128});
  EXPECT_EQ(left[0], 0.0f);
  EXPECT_EQ(left[1], 0.0f);
  for (int i = 0; i < 64; ++i) ASSERT_NEAR(left[2 + i], samples[i], kExact) << i;
}

TEST_F(EngineVoices, StartDelayOfWholeBlocksStartsAtTheNextBlockStart) {
  const auto samples = orvtest::Noise(64, 6, 0.5f);
  Play(TestBuffer::Mono(samples), 512.0);
  const auto left = Left({512, 512});
  EXPECT_EQ(orvtest::Energy(left.data(), 512), 0.0);
  for (int i = 0; i < 64; ++i) ASSERT_NEAR(left[512 + i], samples[i], kExact) << i;

  Play(TestBuffer::Mono(samples), 1300.0);  // across two block boundaries
  const auto later = Left({512, 512, 512});
  EXPECT_EQ(orvtest::Energy(later.data(), 1300), 0.0);
  for (int i = 0; i < 64; ++i) ASSERT_NEAR(later[1300 + i], samples[i], kExact) << i;
}

TEST_F(EngineVoices, StopLandsOnItsSample) {
  const auto samples = orvtest::Noise(4000, 7, 0.5f);
  for (int stopAt : {0, 1, 137, 511, 512, 700, 1500}) {
    SCOPED_TRACE(stopAt);
    const auto channel = Play(TestBuffer::Mono(samples));
    channel->Stop(stopAt);
    const auto left = Left({512, 512, 512, 512});
    for (int i = 0; i < 2048; ++i) {
      ASSERT_NEAR(left[i], i < stopAt ? samples[i] : 0.0f, kExact) << i;
    }
    EXPECT_FALSE(channel->IsPlaying());
    EXPECT_FALSE(Registered(channel));
  }
}

TEST_F(EngineVoices, StopDuringTheStartDelayTakesEffectWhenItEnds) {
  const auto samples = orvtest::Noise(100, 8, 0.5f);
  const auto channel = Play(TestBuffer::Mono(samples), 300.0);
  channel->Stop(100.0);
  const auto left = Left({512});
  EXPECT_EQ(orvtest::Energy(left.data(), 512), 0.0);
  EXPECT_FALSE(channel->IsPlaying());
}

TEST_F(EngineVoices, SeekMovesTheCursorOnItsSample) {
  const auto samples = orvtest::Noise(3100, 9, 0.5f);
  for (int seekAt : {0, 100, 511, 512, 900}) {
    SCOPED_TRACE(seekAt);
    const auto channel = Play(TestBuffer::Mono(samples));
    channel->Seek(seekAt, 2000.25);
    const auto left = Left({512, 512});
    for (int i = 0; i < 1024; ++i) {
      float expected = samples[i];
      if (i >= seekAt) {
        const double x = 2000.25 + (i - seekAt);
        const int j = static_cast<int>(x);
        expected = samples[j] + (samples[j + 1] - samples[j]) * 0.25f;
      }
      ASSERT_NEAR(left[i], expected, kExact) << i;
    }
    channel->Stop(0.0);
    Left({1});
  }
}

TEST_F(EngineVoices, UpdateKeepsTheCursorAndLandsOnItsSample) {
  const auto samples = orvtest::Noise(2000, 10, 0.5f);
  const auto channel = Play(TestBuffer::Mono(samples));
  ChannelParam p;
  p.gain = 0.5f;
  p.position = 1500.0;  // ignored: not a seek
  channel->UpdateChannelParam(300.0, p);
  p.gain = 0.25f;
  channel->UpdateChannelParam(1000.0, p);  // beyond the first block: 488 into the next
  const auto left = Left({512, 512});
  for (int i = 0; i < 1024; ++i) {
    const float gain = i < 300 ? 1.0f : (i < 1000 ? 0.5f : 0.25f);
    ASSERT_NEAR(left[i], gain * samples[i], kExact) << i;
  }
}

TEST_F(EngineVoices, EqualTimeStampsApplyInQueueingOrder) {
  const auto samples = orvtest::Noise(2000, 11, 0.5f);
  const auto channel = Play(TestBuffer::Mono(samples));
  ChannelParam p;
  p.gain = 0.5f;
  channel->UpdateChannelParam(600.0, p);  // carried over from block 1 to 88 of block 2
  engine->Prerender();
  // Queued during block 1 for 88 samples into block 2: applied before the
  // carried-over update, so the carried one wins.
  p.gain = 0.125f;
  channel->UpdateChannelParam(88.0, p);
  std::vector<float> out(1024);
  engine->Render(out.data(), 512);
  const auto block2 = Left({512});
  for (int i = 0; i < 512; ++i) {
    const float gain = i < 88 ? 1.0f : 0.5f;
    ASSERT_NEAR(block2[i], gain * samples[512 + i], kExact) << i;
  }
}

TEST_F(EngineVoices, OneShotVoiceOfHundredFramesLastsHundredAndEight) {
  const std::vector<float> ones(100, 0.5f);
  ChannelParam p;
  p.lowPassCoef = 0.25f;  // the last 8 samples carry the filter's tail
  const auto channel = Play(TestBuffer::Mono(ones), 0.0, p);
  const auto left = Left({108});
  EXPECT_TRUE(channel->IsPlaying());  // the end is found at the next sample
  double y = 0.0;
  for (int i = 0; i < 108; ++i) {
    y += ((i < 100 ? 0.5 : 0.0) - y) * 0.25;
    ASSERT_NEAR(left[i], y, kRecursionTolerance) << i;
  }
  EXPECT_GT(left[107], 0.0f);
  const auto after = Left({64});
  EXPECT_EQ(orvtest::Energy(after.data(), 64), 0.0);
  EXPECT_FALSE(channel->IsPlaying());
  EXPECT_FALSE(Registered(channel));
}

TEST_F(EngineVoices, ABackwardsBufferReadsOnlyItsOwnFramesAndEnds) {
  // A negative sampling rate passes every check and walks the cursor
  // backwards: from the start (reads before the buffer are silent) and, in a
  // loop, from anywhere. The guard bytes of the test buffer turn any read
  // outside it into NaN, and ASan would stop the process.
  const auto samples = orvtest::Noise(300, 13, 0.5f);
  const auto oneShot = Play(TestBuffer::Mono(samples, -48000.0));
  ChannelParam looped;
  looped.isLooped = true;
  looped.loopStart = 40;
  looped.loopEnd = 280;
  looped.position = 250.0;
  const auto loop = Play(TestBuffer::Mono(samples, -24000.0), 0.0, looped);
  for (int block = 0; block < 20; ++block) {
    const auto out = Left({512});
    for (float v : out) ASSERT_TRUE(std::isfinite(v)) << "block " << block;
  }
  EXPECT_FALSE(oneShot->IsPlaying());
  EXPECT_TRUE(loop->IsPlaying());  // looped voices never end by themselves
}

TEST_F(EngineVoices, NonFiniteCursorEndsALoopingVoice) {
  const auto samples = orvtest::Noise(256, 12, 0.5f);
  const double inf = std::numeric_limits<double>::infinity();
  ChannelParam looped;
  looped.isLooped = true;
  looped.loopStart = 16;
  looped.loopEnd = 200;

  ChannelParam infiniteSpeed = looped;
  infiniteSpeed.speed = inf;
  ChannelParam infinitePosition = looped;
  infinitePosition.position = inf;
  ChannelParam negativeInfinitePosition = looped;
  negativeInfinitePosition.position = -inf;
  for (const ChannelParam& p : {infiniteSpeed, infinitePosition, negativeInfinitePosition}) {
    const auto channel = Play(TestBuffer::Mono(samples), 0.0, p);
    Left({512});
    EXPECT_FALSE(channel->IsPlaying());
    EXPECT_FALSE(Registered(channel));
  }

  // A seek to a non-finite position ends a voice that was looping fine.
  const auto channel = Play(TestBuffer::Mono(samples), 0.0, looped);
  channel->Seek(700.0, std::numeric_limits<double>::quiet_NaN());
  const auto left = Left({512, 512});
  EXPECT_FALSE(channel->IsPlaying());
  EXPECT_GT(orvtest::Energy(left.data(), 700), 0.0);
  EXPECT_EQ(orvtest::Energy(left.data() + 700, 1024 - 700), 0.0);
}

TEST_F(EngineVoices, LoopingVoicePlaysTheLoopSeamlessly) {
  const auto samples = orvtest::Noise(300, 13, 0.5f);
  ChannelParam p;
  p.isLooped = true;
  p.loopStart = 50;
  p.loopEnd = 250;
  const auto channel = Play(TestBuffer::Mono(samples), 0.0, p);
  const auto left = Left({512, 512, 512});
  for (int i = 0; i < 1536; ++i) {
    const int frame = i < 250 ? i : 50 + (i - 250) % 200;
    ASSERT_NEAR(left[i], samples[frame], kExact) << i;
  }
  EXPECT_TRUE(channel->IsPlaying());
}

TEST_F(EngineVoices, LoopBoundsChangeOnTheUpdateSample) {
  std::vector<float> ramp(400);
  for (int k = 0; k < 400; ++k) ramp[k] = static_cast<float>(k) / 512.0f;
  ChannelParam p;
  p.isLooped = true;
  p.loopStart = 0;
  p.loopEnd = 100;
  const auto channel = Play(TestBuffer::Mono(ramp), 0.0, p);
  p.loopStart = 200;
  p.loopEnd = 300;
  channel->UpdateChannelParam(250.0, p);
  const auto left = Left({512, 512});
  for (int i = 0; i < 1024; ++i) {
    // The cursor is at 50 when the new loop applies. It has entered a loop
    // before, so frames before the new one are read from it (50 as 250), and
    // the cursor turns round at 300.
    const int frame = i < 250 ? i % 100 : 200 + i % 100;
    ASSERT_NEAR(left[i], ramp[frame], kExact) << i;
  }
}

// --- Errors ------------------------------------------------------------------

TEST_F(EngineVoices, CreateChannelRejectsBadRequests) {
  const auto buffer = TestBuffer::Mono(Zeros(16));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(Thrown([&] { Play(nullptr); }), "Buffer is null.");
  EXPECT_EQ(Thrown([&] { Play(nullptr, -1.0); }), "Buffer is null.");
  EXPECT_EQ(Thrown([&] { Play(buffer, -0.5); }), "Delay is negative.");
  EXPECT_EQ(Thrown([&] { Play(buffer, nan); }), "NaN delay.");
  EXPECT_EQ(Thrown([&] { Play(buffer, 9223372036854775808.0); }), "Too big delay value.");
  EXPECT_EQ(Thrown([&] { Play(buffer, std::numeric_limits<double>::infinity()); }),
            "Too big delay value.");
  ChannelParam bad;
  bad.speed = 0.0;
  EXPECT_EQ(Thrown([&] { Play(buffer, 0.0, bad); }), "Speed is not positive.");

  const auto threeChannels = TestBuffer::Make(Zeros(30), 3, orv::kAudioFormatFloat32);
  EXPECT_EQ(Thrown([&] { Play(threeChannels); }), "Invalid channel count: 3");
  auto badFormat = TestBuffer::Mono(Zeros(16));
  badFormat->format = static_cast<orv::AudioFormat>(3);
  EXPECT_EQ(Thrown([&] { Play(badFormat); }), "Invalid audio format: 3");
  EXPECT_TRUE(engine->pendingChannels.empty());  // nothing was registered

  // The largest delay below 2^63 is accepted.
  EXPECT_EQ(Thrown([&] { Play(buffer, 9223372036854774784.0); }), "");
}

TEST_F(EngineVoices, UpdateRejectsBadChangesAndKeepsTheQueueIntact) {
  const auto samples = orvtest::Noise(600, 14, 0.5f);
  const auto channel = Play(TestBuffer::Mono(samples));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ChannelParam p;
  EXPECT_EQ(Thrown([&] { channel->UpdateChannelParam(-1.0, p); }), "Delay is negative.");
  EXPECT_EQ(Thrown([&] { channel->UpdateChannelParam(nan, p); }), "NaN delay");
  EXPECT_EQ(Thrown([&] { channel->UpdateChannelParam(9223372036854775808.0, p); }),
            "Too big delay value.");
  EXPECT_EQ(Thrown([&] { channel->Seek(-1.0, 0.0); }), "Delay is negative.");
  EXPECT_EQ(Thrown([&] { channel->Seek(nan, 0.0); }), "NaN delay");
  EXPECT_EQ(Thrown([&] { channel->Seek(1e19, 0.0); }), "Too big delay value.");
  EXPECT_EQ(Thrown([&] { channel->Stop(1e300); }), "Too big delay value.");
  ChannelParam changed = p;
  changed.isLooped = true;
  changed.loopEnd = 10;
  EXPECT_EQ(Thrown([&] { channel->UpdateChannelParam(0.0, changed); }),
            "Cannot modify the value of 'isLooped' of ChannelParam.");
  changed = p;
  changed.isSpatialized = true;
  EXPECT_EQ(Thrown([&] { channel->UpdateChannelParam(0.0, changed); }),
            "Cannot modify the value of 'isSpatialized' of ChannelParam.");
  changed = p;
  changed.gain = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(Thrown([&] { channel->UpdateChannelParam(nan, changed); }), "NaN gain.");

  // The stop is queued far ahead; clearing it is refused before it lands.
  channel->Stop(400.0);
  EXPECT_EQ(Thrown([&] { channel->UpdateChannelParam(0.0, p); }),
            "Cannot cancel stopping the channel (shouldStop set to false).");
  // None of the refused changes reached the voice.
  const auto left = Left({512});
  for (int i = 0; i < 512; ++i) ASSERT_NEAR(left[i], i < 400 ? samples[i] : 0.0f, kExact) << i;
}

TEST_F(EngineVoices, OperationsAfterTheEngineIsGoneDoNothing) {
  const auto channel = Play(TestBuffer::Mono(Zeros(16)));
  engine.reset();
  ChannelParam invalid;
  invalid.speed = -1.0;
  EXPECT_EQ(Thrown([&] { channel->UpdateChannelParam(-5.0, invalid); }), "");
  EXPECT_EQ(Thrown([&] { channel->Stop(-5.0); }), "");
  EXPECT_EQ(Thrown([&] { channel->Seek(-5.0, 3.0); }), "");
  EXPECT_TRUE(channel->IsPlaying());
}

}  // namespace
