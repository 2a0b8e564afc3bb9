// A two-state gate: one thread closes it (blocking while it is already
// closed), any other thread may open it. The pipe and the worker pool hand
// work over with gates instead of polling. Unlike a mutex, the thread that
// opens a gate need not be the one that closed it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/OrvSimd.h"

namespace orv {

class Gate {
 public:
  explicit Gate(bool isOpen = true) : isOpen(isOpen) {}
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  // Waits until the gate is open, then closes it.
  void Close() {
    std::unique_lock<std::mutex> lock(mutex);
    condition.wait(lock, [this] { return isOpen.load(std::memory_order_relaxed); });
    isOpen.store(false, std::memory_order_relaxed);
  }

  // The same, but first watches the gate for up to spin: a hand-over that
  // comes within microseconds then costs neither a sleep nor a wake-up,
  // which on some systems take tens of microseconds each.
  void Close(std::chrono::nanoseconds spin) {
    const auto deadline = std::chrono::steady_clock::now() + spin;
    while (!isOpen.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < deadline)
      simd::CpuRelax();
    Close();
  }

  void Open() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      isOpen.store(true, std::memory_order_release);
    }
    condition.notify_all();
  }

  // Waits until the gate is open and leaves it open.
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex);
    condition.wait(lock, [this] { return isOpen.load(std::memory_order_relaxed); });
  }

 private:
  std::mutex mutex;
  std::condition_variable condition;
  // Changed only under the mutex; read without it while spinning.
  std::atomic<bool> isOpen;
};

}  // namespace orv
