// Play requests through the C table, as a host makes them. The event delay
// depends on when the host calls, so these tests find a sound's onset in the
// output and compare from there.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/OrvTestUtil.h"

namespace {

using orvtest::DefaultInitParam;
using orvtest::HostContext;
using orvtest::HostLibrary;

class PlayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library.loadError.empty()) << library.loadError;
    FreeBuffers();
    host = std::make_unique<HostContext>(library);
    const InitParam init = DefaultInitParam(48000.0, 2, 2);
    t().Init(ctx(), &init);
    ASSERT_EQ(t().CheckError(ctx()), nullptr);
    // A room so small that positioned sounds send almost nothing to the reverb.
    const Vector3 eye{0, 0, 0}, front{0, 0, 1}, up{0, 1, 0};
    const ReverbParam room{0.0f, 1.0f, 100.0f, 1e-6f, 0.0f};
    t().Respatialize(ctx(), &eye, &front, &up, &room);
    // The first block is rendered at 512 frames; a first read of another size
    // drops it, with whatever started in it. Settle the block size first.
    Render(256);
  }

  void TearDown() override { FreeBuffers(); }

  // A host frees its handles; the sounds playing them keep their own share.
  void FreeBuffers() {
    for (Buffer* b : buffers) host->table.FreeBuffer(host->ctx(), b);
    buffers.clear();
  }

  const OrvContext& t() const { return host->table; }
  ContextPrivate* ctx() const { return host->ctx(); }

  Buffer* Create(const void* data, int bits, int channels, int frames, double rate = 48000.0) {
    const BufferParam bp{data, bits, channels, frames, rate};
    Buffer* b = t().CreateBuffer(ctx(), &bp);
    EXPECT_NE(b, nullptr) << host->Error();
    if (b) buffers.push_back(b);
    return b;
  }

  // Renders blocks of 256 frames until frames have been produced.
  std::vector<float> Render(std::size_t frames) {
    std::vector<float> out;
    std::vector<float> block(2 * 256);
    while (out.size() < 2 * frames) {
      t().Render(ctx(), block.data(), 256);
      out.insert(out.end(), block.begin(), block.end());
    }
    return out;
  }

  static std::size_t Onset(const std::vector<float>& stereo, int channel) {
    for (std::size_t i = 0; 2 * i + channel < stereo.size(); ++i)
      if (stereo[2 * i + channel] != 0.0f) return i;
    return stereo.size();
  }

  HostLibrary library;
  std::unique_ptr<HostContext> host;
  std::vector<Buffer*> buffers;
};

TEST_F(PlayTest, ALocalFloatSoundComesOutSampleExactOnBothChannels) {
  const auto x = orvtest::Noise(3000, 7, 0.5f);
  Buffer* b = Create(x.data(), 32, 1, static_cast<int>(x.size()));
  const PlayParam play{1.0f, 1.0f, 1.0f};
  t().PlayLocal(ctx(), b, &play);
  const auto out = Render(8192);
  const std::size_t onset = Onset(out, 0);
  ASSERT_LT(onset + x.size(), out.size() / 2);
  for (std::size_t i = 0; i < x.size(); ++i) {
    ASSERT_EQ(out[2 * (onset + i)], x[i]) << i;
    ASSERT_EQ(out[2 * (onset + i) + 1], x[i]) << i;
  }
  // Eight frames of low-pass tail (zero here), then silence.
  for (std::size_t i = onset + x.size(); i < out.size() / 2; ++i) ASSERT_EQ(out[2 * i], 0.0f);
}

TEST_F(PlayTest, IntegerFormatsConvertAsDocumented) {
  const std::vector<std::uint8_t> bytes = {255, 0, 128, 192, 64};
  const std::vector<std::int16_t> words = {16384, -32768, 1, -1, 32767};
  const std::vector<float> fromBytes = {0.9921875f, -1.0f, 0.0f, 0.5f, -0.5f};
  std::vector<float> fromWords;
  for (auto w : words) fromWords.push_back(static_cast<float>(w) * (1.0f / 32768.0f));
  const PlayParam quiet{0.5f, 1.0f, 1.0f};  // below full scale: the limiter stays out
  for (int bits : {8, 16}) {
    SetUp();
    Buffer* b = bits == 8 ? Create(bytes.data(), 8, 1, 5) : Create(words.data(), 16, 1, 5);
    t().PlayLocal(ctx(), b, &quiet);
    const auto out = Render(2048);
    const std::size_t onset = Onset(out, 0);
    const auto& expected = bits == 8 ? fromBytes : fromWords;
    ASSERT_LT(onset, out.size() / 2);
    for (std::size_t i = 0; i < 5; ++i)
      EXPECT_EQ(out[2 * (onset + i)], 0.5f * expected[i]) << bits << " bits, sample " << i;
  }
}

TEST_F(PlayTest, StereoSoundsKeepTheirSides) {
  std::vector<float> lr(2 * 500);
  for (std::size_t i = 0; i < 500; ++i) {
    lr[2 * i] = 0.25f;
    lr[2 * i + 1] = -0.125f;
  }
  Buffer* b = Create(lr.data(), 32, 2, 500);
  const PlayParam play{1.0f, 1.0f, 1.0f};
  t().PlayLocal(ctx(), b, &play);
  const auto out = Render(4096);
  const std::size_t onset = Onset(out, 0);
  ASSERT_EQ(Onset(out, 1), onset);
  for (std::size_t i = 0; i < 500; ++i) {
    ASSERT_EQ(out[2 * (onset + i)], 0.25f);
    ASSERT_EQ(out[2 * (onset + i) + 1], -0.125f);
  }
}

TEST_F(PlayTest, SpeedAndRateRatioReadWithLinearInterpolation) {
  std::vector<float> ramp(400);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = 0.001f * static_cast<float>(i + 1);
  struct Case {
    float speed;
    double rate;
    float step;
  };
  for (const Case c :
       {Case{2.0f, 48000.0, 2.0f}, Case{1.0f, 24000.0, 0.5f}, Case{0.75f, 48000.0, 0.75f}}) {
    SetUp();
    Buffer* b = Create(ramp.data(), 32, 1, static_cast<int>(ramp.size()), c.rate);
    const PlayParam play{1.0f, c.speed, 1.0f};
    t().PlayLocal(ctx(), b, &play);
    const auto out = Render(4096);
    const std::size_t onset = Onset(out, 0);
    double x = 0.0;
    for (std::size_t i = 0; x < ramp.size() - 1; ++i, x += c.step) {
      const std::size_t k = static_cast<std::size_t>(x);
      const float frac = static_cast<float>(x - static_cast<double>(k));
      const float expected = ramp[k] + (ramp[k + 1] - ramp[k]) * frac;
      ASSERT_EQ(out[2 * (onset + i)], expected) << "speed " << c.speed << " at " << x;
    }
  }
}

TEST_F(PlayTest, SoundsOutliveTheirHandleAndIgnoreLaterHostWrites) {
  std::vector<float> x = orvtest::Noise(2000, 11, 0.5f);
  const std::vector<float> original = x;
  Buffer* b = Create(x.data(), 32, 1, static_cast<int>(x.size()));
  const PlayParam play{1.0f, 1.0f, 1.0f};
  t().PlayLocal(ctx(), b, &play);
  FreeBuffers();
  std::fill(x.begin(), x.end(), 0.9f);
  const auto out = Render(8192);
  const std::size_t onset = Onset(out, 0);
  ASSERT_LT(onset + original.size(), out.size() / 2);
  for (std::size_t i = 0; i < original.size(); ++i) ASSERT_EQ(out[2 * (onset + i)], original[i]);
}

TEST_F(PlayTest, ThePolyphonyLimitStopsTheOldestPositionedSoundNeverALocalOne) {
  // Long stereo DC sounds, each with its own level on the left, and a local
  // one on the right only. The context allows two positioned sounds.
  const int frames = 48000;
  auto dc = [&](float left, float right) {
    std::vector<float> v(2 * frames);
    for (int i = 0; i < frames; ++i) {
      v[2 * i] = left;
      v[2 * i + 1] = right;
    }
    return v;
  };
  const auto local = dc(0.0f, 0.3f), a = dc(0.1f, 0.0f), bb = dc(0.2f, 0.0f), c = dc(0.4f, 0.0f);
  const PlayParam play{1.0f, 1.0f, 1.0f};
  const Vector3 near{0.0f, 0.0f, 0.5f};  // inside the reference distance: gain 1
  t().PlayLocal(ctx(), Create(local.data(), 32, 2, frames), &play);
  t().PlayRelative(ctx(), Create(a.data(), 32, 2, frames), &near, &play);
  t().PlayRelative(ctx(), Create(bb.data(), 32, 2, frames), &near, &play);
  // The limit counts the sounds already queued when a new one is made, so a
  // third still starts; the next refresh of the listener enforces it.
  t().PlayRelative(ctx(), Create(c.data(), 32, 2, frames), &near, &play);
  Render(2048);
  const Vector3 eye{0, 0, 0}, front{0, 0, 1}, up{0, 1, 0};
  const ReverbParam room{0.0f, 1.0f, 100.0f, 1e-6f, 0.0f};
  t().Respatialize(ctx(), &eye, &front, &up, &room);
  const auto out = Render(8192);
  ASSERT_EQ(t().CheckError(ctx()), nullptr) << host->Error();
  const std::size_t last = out.size() / 2 - 1;
  // The reverb of the tiny room adds far less than this.
  EXPECT_NEAR(out[2 * last], 0.6f, 1e-3f);
  EXPECT_NEAR(out[2 * last + 1], 0.3f, 1e-3f);
}

TEST_F(PlayTest, PlayErrorsReachCheckErrorAndLeaveNothingPlaying) {
  const float x[4] = {0.5f, 0.5f, 0.5f, 0.5f};
  Buffer* b = Create(x, 32, 1, 4);
  const PlayParam zeroSpeed{1.0f, 0.0f, 1.0f};
  t().PlayLocal(ctx(), b, &zeroSpeed);
  EXPECT_EQ(host->Error(), "Speed is not positive.");
  const PlayParam nanSpeed{1.0f, std::nanf(""), 1.0f};
  const Vector3 o{1, 0, 0};
  t().PlayRelative(ctx(), b, &o, &nanSpeed);
  EXPECT_EQ(host->Error(), "NaN speed.");
  const float three[3] = {0, 0, 0};
  Buffer* b3 = Create(three, 32, 3, 1);
  const PlayParam ok{1.0f, 1.0f, 1.0f};
  t().PlayAbsolute(ctx(), b3, &o, &ok);
  EXPECT_EQ(host->Error(), "Invalid channel count: 3");
  const auto out = Render(2048);
  for (float v : out) ASSERT_EQ(v, 0.0f);
}

}  // namespace
