#include "dsp/OrvInternals_DelayLine.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/OrvTestUtil.h"
#include "dsp/OrvDspTestUtil.h"

namespace {

using orv::DelayLineBank;
using orvtest::dsp::Literal;

using ReverbLines = DelayLineBank<16, 32768>;
using SmallBank = DelayLineBank<2, 16>;

// Read before write, as the reverb does: a line set to d returns each
// sample d + 1 steps later, on its own ring whatever its neighbours do.
template <int L, int N>
void ExpectDelay(DelayLineBank<L, N>& bank, int d, const std::vector<float>& in) {
  bank.Clear();
  for (int k = 0; k < L; ++k) bank.SetDelay(k, k == 1 ? d : (d + k) % N);
  EXPECT_EQ(bank.GetDelay(1), d);
  for (std::size_t i = 0; i < in.size(); ++i) {
    const float expected = i >= static_cast<std::size_t>(d + 1) ? in[i - d - 1] : 0.0f;
    ASSERT_EQ(bank.Read(1), expected) << "d " << d << " i " << i;
    for (int k = 0; k < L; ++k) bank.Write(k, k == 1 ? in[i] : -1.0f);
    bank.Advance();
  }
}

TEST(DelayLineBank, ReturnsTheInputDPlusOneStepsLater) {
  auto bank = std::make_unique<ReverbLines>();
  const std::vector<float> in = orvtest::Noise(70000, 12);  // wraps the ring twice
  for (const int d : {0, 1, 3360, 32767}) ExpectDelay(*bank, d, in);
}

TEST(DelayLineBank, SmallRingWrapsWithTheMask) {
  DelayLineBank<3, 8> bank;
  const std::vector<float> in = orvtest::Noise(50, 13);
  for (int d = 0; d < 8; ++d) ExpectDelay(bank, d, in);
  EXPECT_EQ(bank.GetPosition(), 50 % 8);
}

TEST(DelayLineBank, RunsHoldWhatTheNextStepsRead) {
  // ReadRun(k)[i] is what Read(k) returns i steps ahead, for i below the
  // loop and the ring's end; WriteRun is where those steps write.
  const std::vector<float> in = orvtest::Noise(16 * 2 * 40, 14);
  for (int start = 0; start < 40; ++start) {
    SmallBank bank;
    bank.SetDelay(0, 4);
    bank.SetDelay(1, 9);
    for (int step = 0; step < start; ++step) {
      for (int k = 0; k < 2; ++k) bank.Write(k, in[2 * step + k]);
      bank.Advance();
    }
    for (int k = 0; k < 2; ++k) {
      const int span = std::min(bank.GetLoop(k), bank.ReadSpan(k));
      ASSERT_GE(span, 1);
      const std::vector<float> run(bank.ReadRun(k), bank.ReadRun(k) + span);
      EXPECT_EQ(bank.WriteRun(k) - bank.WriteRun(0), k * SmallBank::kStride);
      SmallBank probe = bank;
      for (int i = 0; i < span; ++i) {
        ASSERT_EQ(probe.Read(k), run[i]) << "start " << start << " line " << k << " i " << i;
        probe.Advance();
      }
    }
    EXPECT_EQ(bank.WriteSpan(), 16 - start % 16);
  }
}

TEST(DelayLineBankDeathTest, DelaysOutsideTheRingStop) {
  orvtest::UseThreadsafeDeathTests();
  auto bank = std::make_unique<ReverbLines>();
  bank->SetDelay(0, 32767);
  EXPECT_DEATH(bank->SetDelay(0, 32768),
               Literal("(l <= ringLength), function SetDelay, file OrvInternals"));
  EXPECT_DEATH(bank->SetDelay(0, -1), Literal("(l > 0), function SetDelay, file OrvInternals"));
  EXPECT_DEATH(bank->SetDelay(0, 2147483647), Literal("(l > 0)"));
}

}  // namespace
