#include "dsp/OrvInterpolationHelper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/OrvTestUtil.h"
#include "dsp/OrvDspTestUtil.h"

namespace {

using orv::InterpolationHelper;
using orvtest::dsp::Literal;

InterpolationHelper Keys(std::initializer_list<float> keys) {
  InterpolationHelper h;
  for (const float k : keys) h.AddKey(k);
  return h;
}

void ExpectResult(const InterpolationHelper& h, float x, std::size_t i1, std::size_t i2,
                  float fraction) {
  const auto r = h.Interpolate(x);
  EXPECT_EQ(r.index1, i1) << x;
  EXPECT_EQ(r.index2, i2) << x;
  EXPECT_FLOAT_EQ(r.fraction, fraction) << x;
}

TEST(InterpolationHelper, NeighboursInsideAndOutsideTheTable) {
  const InterpolationHelper h = Keys({0, 10, 20});
  ExpectResult(h, -5, 0, 0, 0.5f);
  ExpectResult(h, 0, 0, 0, 0.5f);  // the first key itself counts as outside
  ExpectResult(h, 25, 2, 2, 0.5f);
  ExpectResult(h, 20, 2, 2, 0.5f);
  ExpectResult(h, 10, 1, 2, 0.0f);
  ExpectResult(h, 15, 1, 2, 0.5f);
  ExpectResult(h, 2.5f, 0, 1, 0.25f);
}

TEST(InterpolationHelper, NearestKeyWithTiesGoingUp) {
  const InterpolationHelper h = Keys({0, 10, 20});
  EXPECT_EQ(h.ChooseNearest(15), 2u);
  EXPECT_EQ(h.ChooseNearest(14), 1u);
  EXPECT_EQ(h.ChooseNearest(5), 1u);
  EXPECT_EQ(h.ChooseNearest(4.9f), 0u);
  EXPECT_EQ(h.ChooseNearest(-100), 0u);
  EXPECT_EQ(h.ChooseNearest(100), 2u);
  const InterpolationHelper single = Keys({3});
  EXPECT_EQ(single.ChooseNearest(-1), 0u);
  EXPECT_EQ(single.ChooseNearest(7), 0u);
}

TEST(InterpolationHelper, AgreesWithABruteForceSearch) {
  // Irregular keys like measurement elevations; x away from exact midpoints
  // so that the reference needs no tie rule.
  std::vector<float> keys = orvtest::Noise(40, 21, 90.0f);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  InterpolationHelper h;
  for (const float k : keys) h.AddKey(k);
  for (const float x : orvtest::Noise(2000, 22, 100.0f)) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < keys.size(); ++i)
      if (std::fabs(keys[i] - x) < std::fabs(keys[best] - x)) best = i;
    const auto r = h.Interpolate(x);
    if (x > keys.front() && x < keys.back()) {
      ASSERT_EQ(r.index2, r.index1 + 1);
      ASSERT_LE(keys[r.index1], x);
      ASSERT_GT(keys[r.index2], x);
      ASSERT_NEAR(keys[r.index1] + r.fraction * (keys[r.index2] - keys[r.index1]), x, 1e-4f);
      const float gap = keys[r.index2] - keys[r.index1];
      if (std::fabs(r.fraction - 0.5f) * gap < 1e-3f) continue;
    }
    EXPECT_EQ(h.ChooseNearest(x), best) << x;
  }
}

TEST(InterpolationHelperDeathTest, EmptyTableOrNaNStops) {
  orvtest::UseThreadsafeDeathTests();
  const InterpolationHelper empty;
  EXPECT_DEATH(empty.Interpolate(1.0f),
               Literal("(!keys.empty()), function Interpolate, file OrvInterpolationHelper"));
  const InterpolationHelper h = Keys({0, 10});
  EXPECT_DEATH(h.Interpolate(std::nanf("")),
               Literal("(false), function Interpolate, file OrvInterpolationHelper"));
}

}  // namespace
