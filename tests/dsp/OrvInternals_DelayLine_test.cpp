#include "dsp/OrvInternals_DelayLine.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/OrvTestUtil.h"
#include "dsp/OrvDspTestUtil.h"

namespace {

using orv::StaticExactDelayLine;
using orvtest::dsp::Literal;

using ReverbLine = StaticExactDelayLine<32768>;

// Read before write, as the reverb does: a line set to d returns each
// sample d + 1 steps later.
template <int N>
void ExpectDelay(StaticExactDelayLine<N>& line, int d, const std::vector<float>& in) {
  line.Clear();
  line.SetDelay(d);
  EXPECT_EQ(line.GetDelay(), d);
  for (std::size_t i = 0; i < in.size(); ++i) {
    const float expected = i >= static_cast<std::size_t>(d + 1) ? in[i - d - 1] : 0.0f;
    ASSERT_EQ(line.Read(), expected) << "d " << d << " i " << i;
    line.Write(in[i]);
  }
}

TEST(StaticExactDelayLine, ReturnsTheInputDPlusOneStepsLater) {
  auto line = std::make_unique<ReverbLine>();
  const std::vector<float> in = orvtest::Noise(70000, 12);  // wraps the ring twice
  for (const int d : {0, 1, 3360, 32767}) ExpectDelay(*line, d, in);
}

TEST(StaticExactDelayLine, SmallRingWrapsWithTheMask) {
  StaticExactDelayLine<8> line;
  const std::vector<float> in = orvtest::Noise(50, 13);
  for (int d = 0; d < 8; ++d) ExpectDelay(line, d, in);
  EXPECT_EQ(line.position, 50 % 8);
}

TEST(StaticExactDelayLineDeathTest, DelaysOutsideTheRingStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto line = std::make_unique<ReverbLine>();
  line->SetDelay(32767);
  EXPECT_DEATH(line->SetDelay(32768), Literal("(this->delay <= size), function SetDelay, file OrvInternals"));
  EXPECT_DEATH(line->SetDelay(-1), Literal("(this->delay > 0), function SetDelay, file OrvInternals"));
  EXPECT_DEATH(line->SetDelay(2147483647), Literal("(this->delay > 0)"));
}

}  // namespace
