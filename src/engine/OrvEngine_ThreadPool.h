// A fixed set of worker slots on which one block's work is split. Slot 0 is
// the calling thread; slots 1 and up are long-lived workers that wait on a
// start gate between parallel steps: they watch it briefly (the steps of
// one block follow each other closely), then sleep until woken.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/OrvGate.h"

namespace orv {

class ThreadPool {
 public:
  // Starts numSlots - 1 worker threads. Throws std::system_error when the
  // platform refuses a thread (already started workers are stopped).
  explicit ThreadPool(std::size_t numSlots);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t NumSlots() const { return bgMutex1.size(); }

  // Runs task(k) for k = 0 .. maxNumThreads - 1, task(0) on the calling
  // thread, and returns when all have finished. Only one thread may call it.
  // Allocates nothing: each worker is handed a pointer to task. An error of
  // task(0) leaves only after the workers have finished; an error inside a
  // worker's task is dropped (the worker survives it).
  void ExecuteParallel(std::size_t maxNumThreads, const std::function<void(std::size_t)>& task);

 private:
  void BackgroundRenderThread(std::size_t k);
  void Stop() noexcept;

  std::vector<std::shared_ptr<Gate>> bgMutex1;                 // start gates
  std::vector<std::shared_ptr<Gate>> bgMutex2;                 // completion gates
  std::vector<const std::function<void(std::size_t)>*> tasks;  // posted per step
  std::vector<std::shared_ptr<std::thread>> threads;
  std::atomic<bool> stopRequested{false};
};

}  // namespace orv
