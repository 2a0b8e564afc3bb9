#include "engine/OrvEngine_ThreadPool.h"

#include "common/OrvAssert.h"

namespace orv {
namespace {

// How long a worker watches for its next task, and the caller for the
// workers' completion, before sleeping: the two parallel steps of a block
// come tens of microseconds apart, and a sleep and wake-up cost about as
// much on virtual machines. Between blocks the workers sleep.
constexpr std::chrono::microseconds kHandOverSpin{100};

}  // namespace

ThreadPool::ThreadPool(std::size_t numSlots)
    : bgMutex1(numSlots), bgMutex2(numSlots), tasks(numSlots), threads(numSlots) {
  try {
    for (std::size_t k = 1; k < numSlots; ++k) {
      bgMutex1[k] = std::make_shared<Gate>(false);  // closed: the worker waits for a task
      bgMutex2[k] = std::make_shared<Gate>(true);
      threads[k] = std::make_shared<std::thread>(&ThreadPool::BackgroundRenderThread, this, k);
    }
  } catch (...) {
    Stop();
    throw;
  }
}

ThreadPool::~ThreadPool() { Stop(); }

void ThreadPool::Stop() noexcept {
  stopRequested.store(true, std::memory_order_release);
  for (std::size_t k = 1; k < threads.size(); ++k) {
    if (!threads[k]) continue;
    bgMutex1[k]->Open();
    threads[k]->join();
    threads[k].reset();
  }
}

void ThreadPool::BackgroundRenderThread(std::size_t k) {
  if (stopRequested.load(std::memory_order_acquire)) return;
  for (;;) {
    bgMutex1[k]->Close(kHandOverSpin);
    if (stopRequested.load(std::memory_order_acquire)) return;
    try {
      (*tasks[k])(k);
    } catch (...) {
      // Nothing on a worker can report an error; the slot's share of the
      // block is lost, the worker lives on.
    }
    bgMutex2[k]->Open();
    if (stopRequested.load(std::memory_order_acquire)) return;
  }
}

void ThreadPool::ExecuteParallel(std::size_t maxNumThreads,
                                 const std::function<void(std::size_t)>& task) {
  ORV_ASSERT(maxNumThreads <= bgMutex1.size(), "OrvEngine");
  for (std::size_t k = 1; k < maxNumThreads; ++k) {
    bgMutex2[k]->Close();
    tasks[k] = &task;
    bgMutex1[k]->Open();
  }
  auto waitForWorkers = [&] {
    for (std::size_t k = 1; k < maxNumThreads; ++k) {
      bgMutex2[k]->Close(kHandOverSpin);
      bgMutex2[k]->Open();
    }
  };
  try {
    task(0);
  } catch (...) {
    // The workers use the caller's data: wait for them before leaving.
    waitForWorkers();
    throw;
  }
  waitForWorkers();
}

}  // namespace orv
