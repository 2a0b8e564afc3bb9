#include "engine/OrvEngine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "common/OrvException.h"

namespace orv {
namespace {

std::string ErrorOf(const EngineParam& p) {
  try {
    std::make_shared<Engine>(p);
  } catch (const Exception& e) {
    return e.what();
  }
  return "";
}

TEST(Engine, ValidatesChannelsThenRateThenThreads) {
  EngineParam p;
  p.numChannels = 0;
  p.samplingRate = 0.0;
  EXPECT_EQ(ErrorOf(p), "Invalid channel count: 0");
  p.numChannels = 2;
  EXPECT_EQ(ErrorOf(p), "Invalid sampling rate: 0.000000");
  p.samplingRate = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(ErrorOf(p), "Invalid sampling rate: nan");
  p.samplingRate = 48000.0;
  p.numThreads = 0;
  EXPECT_EQ(ErrorOf(p), "Invalid thread count: 0");
  p.numThreads = 1;
  p.numChannels = 1;
  EXPECT_EQ(ErrorOf(p), "Unsupported channel count: 1");
  p.numChannels = 2;
  EXPECT_EQ(ErrorOf(p), "");
}

TEST(Engine, RendersSilenceWithoutChannelsForAnyBlockSize) {
  EngineParam p;
  p.numThreads = 3;
  auto engine = std::make_shared<Engine>(p);
  for (int n : {512, 1, 0, 777, 4096}) {
    std::vector<float> out(2 * static_cast<std::size_t>(n) + 2, 5.0f);
    engine->Prerender();
    engine->Render(out.data(), n);
    for (int i = 0; i < 2 * n; ++i) ASSERT_EQ(out[i], 0.0f) << n;
    EXPECT_EQ(out[2 * n], 5.0f) << "wrote past the block";
  }
}

}  // namespace
}  // namespace orv
