// A two-state gate: one thread closes it (blocking while it is already
// closed), any other thread may open it. The pipe and the worker pool hand
// work over with gates instead of polling. Unlike a mutex, the thread that
// opens a gate need not be the one that closed it.
#pragma once

#include <condition_variable>
#include <mutex>

namespace orv {

class Gate {
 public:
  explicit Gate(bool isOpen = true) : isOpen(isOpen) {}
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  // Waits until the gate is open, then closes it.
  void Close() {
    std::unique_lock<std::mutex> lock(mutex);
    condition.wait(lock, [this] { return isOpen; });
    isOpen = false;
  }

  void Open() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      isOpen = true;
    }
    condition.notify_all();
  }

  // Waits until the gate is open and leaves it open.
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex);
    condition.wait(lock, [this] { return isOpen; });
  }

 private:
  std::mutex mutex;
  std::condition_variable condition;
  bool isOpen;
};

}  // namespace orv
