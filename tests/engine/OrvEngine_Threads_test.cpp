// The worker pool changes who renders what, not what is heard: the same busy
// scene on 1, 2 and 3 threads gives the same output (bit for bit with the
// thread-independent mix). Under ThreadSanitizer (filter EngineThreads.*)
// this also drives both parallel stages, each thread taking work as it
// comes free.
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
std::vector<float> RenderRun(int numThreads, bool isThreadIndependent) {
  auto engine = MakeHrtfEngine(numThreads);
  engine->SetThreadIndependentMix(isThreadIndependent);
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
TEST(EngineThreads, OneTwoAndThreeThreadsRenderTheSameOutput) {
  // By default each thread mixes the runs of voices it takes into a lane of
  // its own, so partial mixes are summed in another order per thread count
  // and run: a few float roundings apart (measured at 4.5e-7 relative).
  constexpr double kThreadTolerance = 1e-6;
  for (const auto level : {orv::simd::DetectedLevel(), orv::simd::Level::kScalar}) {
    const ScopedLevelLimit limit(level);
    const std::vector<float> one = RenderRun(1, false);
    const std::vector<float> fixedOne = RenderRun(1, true);
    ASSERT_GT(Rms(one.data(), one.size()), 0.01) << "the scene must be heard";
    EXPECT_LT(RelativeRmsError(fixedOne.data(), one.data(), one.size()), kThreadTolerance);
    for (int threads : {2, 3}) {
      const std::vector<float> many = RenderRun(threads, false);
      EXPECT_LT(RelativeRmsError(many.data(), one.data(), one.size()), kThreadTolerance)
          << threads << " threads, level " << static_cast<int>(level);
      // The thread-independent mix: bit for bit.
      EXPECT_EQ(RenderRun(threads, true), fixedOne)
          << threads << " threads, level " << static_cast<int>(level);
    }
  }
}

// A voice created while a block renders (after its start) joins the next
// block, also when every other voice plays on in place.
TEST(EngineThreads, AVoiceCreatedDuringABlockJoinsTheNext) {
  for (int threads : {1, 2}) {
    auto engine = MakeHrtfEngine(threads);
    EngineScene scene = StartScene(*engine, 24, 2);
    std::vector<float> out(2 * static_cast<std::size_t>(kSceneBlock));
    for (int b = 0; b < 3; ++b) RenderBlock(*engine, out.data());
    engine->Prerender();
    orv::ChannelParam p;
    p.isLooped = true;
    p.loopEnd = static_cast<std::int64_t>(kSceneSoundFrames);
    auto late = engine->CreateChannel(0.0, TestBuffer::Mono(Noise(kSceneSoundFrames, 99)), p);
    engine->Render(out.data(), kSceneBlock);
    EXPECT_FALSE(late->HasStarted()) << threads << " threads";
    RenderBlock(*engine, out.data());
    EXPECT_TRUE(late->HasStarted()) << threads << " threads";
  }
}

}  // namespace
