// Hostile input at the host boundary: the library refuses it with a stored
// text and the mix goes on as if the call had not been made.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "common/OrvTestUtil.h"

namespace {

using orvtest::DefaultInitParam;
using orvtest::HostContext;
using orvtest::HostLibrary;

constexpr int kBlock = 256;
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
// A stereo DC sound inside its reference distance comes out as the DC; the
// reverb of the tiny room adds far less than this.
constexpr float kDcTolerance = 1e-3f;

class BoundaryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library.loadError.empty()) << library.loadError; }

  void Start(const InitParam& init) {
    host = std::make_unique<HostContext>(library);
    t().Init(ctx(), &init);
    ASSERT_EQ(t().CheckError(ctx()), nullptr) << host->Error();
    Listen({0, 0, 1}, {0, 1, 0});
    Render(kBlock);  // settles the block size
  }

  // Starts with the host's low-pass callback.
  void StartWithLowPass(OrvLowPassCallback callback, void* userData) {
    InitParam init = DefaultInitParam();
    init.lowPassCallback = callback;
    init.lowPassUserData = userData;
    Start(init);
  }

  void Listen(const Vector3& front, const Vector3& up, const Vector3& eye = {0, 0, 0}) {
    t().Respatialize(ctx(), &eye, &front, &up, &kTinyRoom);
  }

  const OrvContext& t() const { return host->table; }
  ContextPrivate* ctx() const { return host->ctx(); }

  // A long sound, as a buffer handle (freed with the context).
  Buffer* Sound(const std::vector<float>& samples, int channels) {
    const BufferParam bp{samples.data(), 32, channels, static_cast<int>(samples.size()) / channels,
                         48000.0};
    Buffer* b = t().CreateBuffer(ctx(), &bp);
    EXPECT_NE(b, nullptr) << host->Error();
    return b;
  }
  Buffer* StereoDc(float level) { return Sound(std::vector<float>(2 * 96000, level), 2); }

  std::vector<float> Render(std::size_t frames) {
    std::vector<float> out, block(2 * kBlock);
    while (out.size() < 2 * frames) {
      t().Render(ctx(), block.data(), kBlock);
      out.insert(out.end(), block.begin(), block.end());
    }
    return out;
  }
  float LastLeft(std::size_t frames) { return Render(frames).end()[-2]; }

  static constexpr ReverbParam kTinyRoom{0.0f, 1.0f, 100.0f, 1e-6f, 0.0f};
  HostLibrary library;
  std::unique_ptr<HostContext> host;
};

struct LowPass {
  float coefficient = 1.0f;
  static void Callback(const Vector3*, float* result, void* self) {
    *result = static_cast<LowPass*>(self)->coefficient;
  }
};

TEST_F(BoundaryTest, ABadListenerIsRefusedAndTheLastGoodOneKeepsWorldVoicesAtTheirLevel) {
  LowPass lowPass;
  StartWithLowPass(&LowPass::Callback, &lowPass);
  const PlayParam play{1.0f, 1.0f, 1.0f};
  const Vector3 right{2, 0, 0};
  t().PlayAbsolute(ctx(), Sound(orvtest::Noise(96000, 5, 0.25f), 1), &right, &play);
  constexpr std::size_t kWindow = 8192;
  Render(4096);
  const auto before = Render(kWindow);

  const float big = FLT_MAX;
  const Vector3 bad[][3] = {
      // front, up, eye
      {{0, 1, 0}, {0, 1, 0}, {0, 0, 0}},     // parallel
      {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}},     // zero front
      {{0, 0, 1}, {0, 0, 0}, {0, 0, 0}},     // zero up
      {{0, 0, kNaN}, {0, 1, 0}, {0, 0, 0}},  // non-finite front
      {{0, 0, 1}, {kInf, 1, 0}, {0, 0, 0}},  // non-finite up
      {{0, 0, 1}, {0, 1, 0}, {kNaN, 0, 0}},  // non-finite eye
      {{0, 0, big}, {0, 1, 0}, {0, 0, 0}},   // too large to normalise
  };
  for (const auto& b : bad) {
    Listen(b[0], b[1], b[2]);
    EXPECT_EQ(host->Error(), "Invalid listener orientation.");
    Render(2 * kBlock);
  }
  Listen({0, 0, 1}, {0, 1, 0});
  Render(4096);
  const auto after = Render(kWindow);
  // Independent stretches of the same noise: their power agrees within a
  // few per cent over 8192 frames.
  const double rmsBefore = orvtest::Rms(before.data(), before.size());
  ASSERT_GT(rmsBefore, 0.01);
  EXPECT_NEAR(orvtest::Rms(after.data(), after.size()) / rmsBefore, 1.0, 0.1);
}

TEST_F(BoundaryTest, PolyphonyLimitOfIntMaxNeverStopsOtherSounds) {
  Start(DefaultInitParam(48000.0, 1, INT_MAX));
  const PlayParam play{1.0f, 1.0f, 1.0f};
  const Vector3 near{0, 0, 0.5f};
  t().PlayRelative(ctx(), StereoDc(0.25f), &near, &play);
  Render(2048);  // the render thread raises the limit every block
  t().PlayRelative(ctx(), StereoDc(0.0f), &near, &play);
  EXPECT_NEAR(LastLeft(4096), 0.25f, kDcTolerance);
  EXPECT_EQ(t().CheckError(ctx()), nullptr) << host->Error();
}

TEST_F(BoundaryTest, NonFiniteVolumesAreRefusedLikeNaNAndNothingPlays) {
  Start(DefaultInitParam());
  Buffer* b = StereoDc(0.25f);
  const Vector3 near{0, 0, 0.5f};
  for (float volume : {kInf, -kInf, kNaN}) {
    const PlayParam play{volume, 1.0f, 1.0f};
    t().PlayLocal(ctx(), b, &play);
    EXPECT_EQ(host->Error(), "NaN gain.");
    t().PlayRelative(ctx(), b, &near, &play);
    EXPECT_EQ(host->Error(), "NaN gain.");
  }
  for (float v : Render(2048)) ASSERT_EQ(v, 0.0f);
}

TEST_F(BoundaryTest, TheLowPassCoefficientIsClampedToTheUnitRangeAndNaNMeansUnfiltered) {
  LowPass lowPass;
  const PlayParam play{1.0f, 1.0f, 1.0f};
  const Vector3 near{0, 0, 0.5f};
  // The one-pole filter passes DC whole at 1 and holds at zero at 0.
  const struct {
    float coefficient, expected;
  } cases[] = {{3.0f, 0.25f}, {-1.5f, 0.0f}, {kNaN, 0.25f}};
  for (const auto& c : cases) {
    lowPass.coefficient = c.coefficient;
    StartWithLowPass(&LowPass::Callback, &lowPass);
    t().PlayAbsolute(ctx(), StereoDc(0.25f), &near, &play);
    const auto out = Render(4096);
    for (float v : out) ASSERT_LE(std::fabs(v), 0.25f + kDcTolerance) << c.coefficient;
    EXPECT_NEAR(out.end()[-2], c.expected, kDcTolerance) << c.coefficient;
  }
}

struct ReentrantHost {
  const OrvContext* table = nullptr;
  Buffer* buffer = nullptr;
  int calls = 0;
  static void Callback(const Vector3*, float* result, void* self) {
    auto* host = static_cast<ReentrantHost*>(self);
    *result = 1.0f;
    if (++host->calls > 1) return;
    const Vector3 eye{0, 0, 0}, front{1, 0, 0}, up{0, 1, 0};
    const ReverbParam room{};
    const PlayParam play{1.0f, 1.0f, 1.0f};
    const OrvContext& t = *host->table;
    t.Respatialize(t.context, &eye, &front, &up, &room);
    t.PlayAbsolute(t.context, host->buffer, &eye, &play);
    t.PlayLocal(t.context, host->buffer, &play);
    t.FreeBuffer(t.context, host->buffer);
    t.Destroy(t.context);
  }
};

TEST_F(BoundaryTest, CallsFromInsideTheLowPassCallbackAreRefused) {
  ReentrantHost reentrant;
  StartWithLowPass(&ReentrantHost::Callback, &reentrant);
  reentrant.table = &t();
  reentrant.buffer = StereoDc(0.25f);
  const PlayParam play{1.0f, 1.0f, 1.0f};
  const Vector3 near{0, 0, 0.5f};
  t().PlayAbsolute(ctx(), reentrant.buffer, &near, &play);
  EXPECT_EQ(host->Error(), "Called from inside a callback.");
  Listen({0, 0, 1}, {0, 1, 0});  // walks the channels, calling back again
  // Only the outer play happened: the buffer is still live, the sound plays.
  EXPECT_NEAR(LastLeft(4096), 0.25f, kDcTolerance);
  EXPECT_EQ(host->Error(), "Called from inside a callback.");
  t().PlayLocal(ctx(), reentrant.buffer, &play);
  EXPECT_EQ(host->Error(), "Called from inside a callback.");  // no new failure
}

TEST_F(BoundaryTest, HandlesThatAreNotLiveAreRefusedWithoutBeingTouched) {
  Start(DefaultInitParam());
  const PlayParam play{1.0f, 1.0f, 1.0f};
  Buffer* freed = StereoDc(0.25f);
  t().FreeBuffer(ctx(), freed);
  ASSERT_EQ(t().CheckError(ctx()), nullptr);

  HostContext other(library);
  const InitParam init = DefaultInitParam();
  other.table.Init(other.ctx(), &init);
  const float sample = 0.5f;
  const BufferParam bp{&sample, 32, 1, 1, 48000.0};
  Buffer* foreign = other.table.CreateBuffer(other.ctx(), &bp);
  ASSERT_NE(foreign, nullptr);

  float notAHandle[16] = {};
  for (Buffer* b : {freed, foreign, reinterpret_cast<Buffer*>(notAHandle)}) {
    t().FreeBuffer(ctx(), b);
    EXPECT_EQ(host->Error(), "Invalid buffer handle.");
    t().PlayLocal(ctx(), b, &play);
    EXPECT_EQ(host->Error(), "Invalid buffer handle.");
  }
  for (float v : Render(1024)) ASSERT_EQ(v, 0.0f);
  other.table.FreeBuffer(other.ctx(), foreign);
  EXPECT_EQ(other.table.CheckError(other.ctx()), nullptr);
}

}  // namespace
