// The worker pool changes who renders what, not what is heard: the same busy
// scene on 1, 2 and 3 threads gives the same output, bit for bit. Under ThreadSanitizer
// (filter EngineThreads.*) this also drives both striped parallel stages.
#include <gtest/gtest.h>

#include <vector>

#include "common/OrvSimd.h"
#include "engine/EngineTestScene.h"

namespace {

using namespace orvtest;

constexpr int kPositioned = 72;
constexpr int kPlain = 6;
constexpr int kBlocks = 200;

// The whole run of one engine: every third positioned voice moves a quarter
// turn on two occasions, part-way into a block (so it crosses measured angles
// mid-run), and two plain voices stop.
std::vector<float> RenderRun(int numThreads) {
  auto engine = MakeHrtfEngine(numThreads);
  EngineScene scene = StartScene(*engine, kPositioned, kPlain);
  std::vector<float> out(2 * static_cast<std::size_t>(kSceneBlock) * kBlocks);
  for (int b = 0; b < kBlocks; ++b) {
    if (b == 60 || b == 130) {
      for (int v = 0; v < kPositioned; v += 3) {
        auto& p = scene.positionedParams[static_cast<std::size_t>(v)];
        p.sourcePosition = SpreadPosition(v, kPositioned, b == 60 ? M_PI / 2 : M_PI);
        scene.positioned[static_cast<std::size_t>(v)]->UpdateChannelParam(100.0 + v, p);
      }
    }
    if (b == 90) {
      scene.plain[0]->Stop(0.0);
      scene.plain[1]->Stop(300.0);
    }
    RenderBlock(*engine, out.data() + 2 * static_cast<std::size_t>(kSceneBlock) * b);
  }
  return out;
}

// At the processor's own vector level and on the scalar paths, which other
// processors take and whose transform plans keep work arrays of their own.
TEST(EngineThreads, OneTwoAndThreeThreadsRenderBitIdenticalOutput) {
  for (const auto level : {orv::simd::DetectedLevel(), orv::simd::Level::kScalar}) {
    const ScopedLevelLimit limit(level);
    const std::vector<float> one = RenderRun(1);
    ASSERT_GT(Rms(one.data(), one.size()), 0.01) << "the scene must be heard";
    for (int threads : {2, 3}) {
      const std::vector<float> many = RenderRun(threads);
      // Bit for bit: every sum runs in an order that does not depend on
      // the thread count.
      EXPECT_EQ(many, one) << threads << " threads, level " << static_cast<int>(level);
    }
  }
}

}  // namespace
