#include "engine/OrvEngine_ThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace orv {
namespace {

TEST(ThreadPool, SingleSlotRunsTheTaskInline) {
  ThreadPool pool(1);
  const auto caller = std::this_thread::get_id();
  std::thread::id ran;
  pool.ExecuteParallel(1, [&](std::size_t k) {
    EXPECT_EQ(k, 0u);
    ran = std::this_thread::get_id();
  });
  EXPECT_EQ(ran, caller);
}

TEST(ThreadPool, RunsEverySlotOnceAndOnlyTheSlotsAskedFor) {
  ThreadPool pool(4);
  for (std::size_t used = 1; used <= 4; ++used) {
    std::vector<std::atomic<int>> runs(4);
    std::vector<std::thread::id> ids(4);
    pool.ExecuteParallel(used, [&](std::size_t k) {
      runs[k]++;
      ids[k] = std::this_thread::get_id();
    });
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(runs[k].load(), k < used ? 1 : 0) << used;
    for (std::size_t k = 1; k < used; ++k) EXPECT_NE(ids[k], ids[0]);
  }
}

TEST(ThreadPool, ReturnsOnlyAfterEveryWorkerFinished) {
  ThreadPool pool(3);
  std::vector<int> results(3, 0);
  for (int round = 1; round <= 200; ++round) {
    pool.ExecuteParallel(3, [&](std::size_t k) {
      if (k == 2) std::this_thread::sleep_for(std::chrono::microseconds(50));
      results[k] = round;  // plain writes: the gates must order them
    });
    for (int r : results) ASSERT_EQ(r, round);
  }
}

TEST(ThreadPool, WorkerErrorsAreDroppedAndTheWorkerLivesOn) {
  ThreadPool pool(2);
  pool.ExecuteParallel(2, [](std::size_t k) {
    if (k == 1) throw std::runtime_error("worker failure");
  });
  std::atomic<int> runs{0};
  pool.ExecuteParallel(2, [&](std::size_t) { runs++; });
  EXPECT_EQ(runs.load(), 2);
}

TEST(ThreadPool, CallerErrorLeavesAfterTheWorkersAreDone) {
  ThreadPool pool(2);
  std::atomic<bool> workerDone{false};
  EXPECT_THROW(pool.ExecuteParallel(2,
                                    [&](std::size_t k) {
                                      if (k == 0) throw std::runtime_error("caller failure");
                                      std::this_thread::sleep_for(std::chrono::milliseconds(5));
                                      workerDone = true;
                                    }),
               std::runtime_error);
  EXPECT_TRUE(workerDone.load());
}

TEST(ThreadPool, IdlePoolIsDestroyedPromptly) {
  const auto t0 = std::chrono::steady_clock::now();
  { ThreadPool pool(8); }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST(ThreadPoolDeathTest, MoreSlotsThanThePoolHasStopTheProcess) {
  ThreadPool pool(2);
  EXPECT_DEATH(pool.ExecuteParallel(3, [](std::size_t) {}),
               "maxNumThreads <= bgMutex1.size\\(\\).*ExecuteParallel.*OrvEngine");
}

}  // namespace
}  // namespace orv
