#include "bind/Context_Pipe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

namespace orvbind {
namespace {

std::vector<float> Ramp(std::size_t n, float start) {
  std::vector<float> v(n);
  std::iota(v.begin(), v.end(), start);
  return v;
}

TEST(Pipe, ReturnsExactlyTheSamplesWritten) {
  Pipe<float> pipe(1024);
  const auto block = Ramp(512, 1.0f);
  pipe.Write(block.begin(), block.end());
  std::vector<float> out(512);
  pipe.Read(out.data(), out.size(), true);
  EXPECT_EQ(out, block);
}

TEST(Pipe, WrapsAroundTheRingAndGrowsForLargeBlocks) {
  Pipe<float> pipe(8);
  std::vector<float> out(6);
  for (int round = 0; round < 5; ++round) {  // 6 of 8 slots: the ring wraps
    const auto block = Ramp(6, 10.0f * round);
    pipe.Write(block.begin(), block.end());
    pipe.Read(out.data(), out.size(), true);
    ASSERT_EQ(out, block) << round;
  }
  const auto large = Ramp(40, 100.0f);
  pipe.Write(large.begin(), large.end());
  EXPECT_GE(pipe.Capacity(), 40u);
  std::vector<float> largeOut(40);
  pipe.Read(largeOut.data(), largeOut.size(), true);
  EXPECT_EQ(largeOut, large);
}

TEST(Pipe, ExactReadDiscardsABlockOfAnotherSizeAndWaitsForTheNext) {
  Pipe<float> pipe(1024);
  const auto stale = Ramp(512, 0.0f);
  pipe.Write(stale.begin(), stale.end());
  const auto fresh = Ramp(256, 1000.0f);
  std::thread writer([&] {
    pipe.WaitUntilWritable();  // opens only once the stale block is gone
    pipe.Write(fresh.begin(), fresh.end());
  });
  std::vector<float> out(256);
  pipe.Read(out.data(), out.size(), true);
  writer.join();
  EXPECT_EQ(out, fresh);
}

TEST(Pipe, InexactReadTakesWhatIsThereAcrossWrites) {
  Pipe<float> pipe(16);
  const auto a = Ramp(4, 0.0f);
  const auto b = Ramp(4, 4.0f);
  pipe.Write(a.begin(), a.end());
  std::thread writer([&] {
    pipe.WaitUntilWritable();
    pipe.Write(b.begin(), b.end());
  });
  std::vector<float> out(8);
  pipe.Read(out.data(), out.size(), false);
  writer.join();
  EXPECT_EQ(out, Ramp(8, 0.0f));
}

TEST(Pipe, EmptyReleasesAWaitingWriter) {
  Pipe<float> pipe(16);
  const auto a = Ramp(4, 0.0f);
  pipe.Write(a.begin(), a.end());
  std::atomic<bool> released{false};
  std::thread writer([&] {
    pipe.WaitUntilWritable();
    released = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(released.load());
  pipe.Empty();
  writer.join();
  EXPECT_TRUE(released.load());
}

}  // namespace
}  // namespace orvbind
