#include "engine/OrvEngine_Compressor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orv {
namespace {

constexpr float kRate = 48000.0f;
// A few float ulps: the limiter scales by 1/peak and multiplies gains.
constexpr float kTolerance = 1e-6f;

TEST(Compressor, PassesQuietFramesUnchanged) {
  Compressor<2> c(kRate);
  const auto out = c.ProcessSample({0.5f, -0.5f});
  EXPECT_EQ(out[0], 0.5f);
  EXPECT_EQ(out[1], -0.5f);
  EXPECT_EQ(c.GetGain(), 1.0f);
}

TEST(Compressor, LimitsTheLouderChannelToFullScaleAndScalesBothAlike) {
  Compressor<2> c(kRate);
  auto out = c.ProcessSample({3.0f, 0.0f});
  EXPECT_NEAR(out[0], 1.0f, kTolerance);
  EXPECT_EQ(out[1], 0.0f);
  const float coef = c.GetCoef();
  EXPECT_NEAR(c.GetGain(), (1.0f / 3.0f) * coef + (1.0f - coef), kTolerance);

  Compressor<2> linked(kRate);
  out = linked.ProcessSample({-4.0f, 2.0f});
  EXPECT_NEAR(out[0], -1.0f, kTolerance);
  EXPECT_NEAR(out[1], 0.5f, kTolerance);
}

TEST(Compressor, SteadyOverloadStaysAtFullScale) {
  Compressor<2> c(kRate);
  for (int i = 0; i < 10000; ++i) {
    const auto out = c.ProcessSample({3.0f, 3.0f});
    ASSERT_NEAR(out[0], 1.0f, kTolerance) << "frame " << i;
    ASSERT_NEAR(out[1], 1.0f, kTolerance) << "frame " << i;
  }
}

TEST(Compressor, ReleasesWithAOneSecondTimeConstant) {
  Compressor<2> c(kRate);
  c.ProcessSample({10.0f, 0.0f});  // gain drops to about 0.1
  const float start = c.GetGain();
  for (int i = 1; i < 48000; ++i) c.ProcessSample({0.0f, 0.0f});
  // After one time constant 1 - 1/e (63 %) of the distance to unity is closed.
  const float closed = (c.GetGain() - start) / (1.0f - start);
  EXPECT_NEAR(closed, 1.0f - std::exp(-1.0f), 2e-3f);
  EXPECT_LE(c.GetGain(), 1.0f);
}

TEST(Compressor, NanInputCountsAsSilence) {
  Compressor<2> c(kRate);
  const auto out = c.ProcessSample({std::numeric_limits<float>::quiet_NaN(), 2.0f});
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_NEAR(out[1], 1.0f, kTolerance);
  EXPECT_FALSE(std::isnan(c.GetGain()));
}

}  // namespace
}  // namespace orv
