// The FIFO between the render thread and the host's Render call. Exactly one
// block is in flight: the render thread waits on writeGate until the host has
// taken the previous block, the host waits on readGate until a block is there.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <mutex>
#include <vector>

#include "common/OrvGate.h"

namespace orvbind {

template <typename T>
class Pipe {
 public:
  explicit Pipe(std::size_t capacity) : buffer(capacity, T{}), writeGate(true), readGate(false) {}

  // Appends [first, last), growing the ring when it does not fit.
  template <typename Iterator>
  void Write(Iterator first, Iterator last) {
    const std::size_t n = static_cast<std::size_t>(std::distance(first, last));
    std::lock_guard<std::mutex> guard(lock);
    if (n == 0) return;
    std::size_t capacity = buffer.size();
    if (capacity - count < n) Grow(count + n);
    capacity = buffer.size();
    std::size_t index = (position + count) % capacity;
    for (; first != last; ++first) {
      buffer[index] = *first;
      if (++index == capacity) index = 0;
    }
    const bool wasEmpty = count == 0;
    count += n;
    if (wasEmpty) {
      readGate.Open();
      writeGate.Close();  // open while the pipe was empty, so this never blocks
    }
  }

  // Removes n samples into dest, waiting as needed. With exact, a buffered
  // run of another length than asked for is discarded, not returned.
  void Read(T* dest, std::size_t n, bool exact) {
    while (n > 0) {
      readGate.Wait();
      std::lock_guard<std::mutex> guard(lock);
      if (count == 0) continue;  // another reader was faster
      const std::size_t capacity = buffer.size();
      if (!exact || count == n) {
        const std::size_t m = std::min(count, n);
        for (std::size_t i = 0; i < m; ++i) {
          *dest++ = buffer[position];
          if (++position == capacity) position = 0;
        }
        count -= m;
        n -= m;
      } else {
        position = (position + count) % capacity;
        count = 0;
      }
      if (count == 0) {
        readGate.Close();  // open while samples were buffered
        writeGate.Open();
      }
    }
  }

  // Discards everything buffered and lets a waiting writer go on.
  void Empty() {
    std::lock_guard<std::mutex> guard(lock);
    if (count != 0) {
      readGate.Close();
      writeGate.Open();
      count = 0;
    }
  }

  // Blocks until the pipe is empty (the writer's side of the hand-over).
  void WaitUntilWritable() { writeGate.Wait(); }

  std::size_t Capacity() {
    std::lock_guard<std::mutex> guard(lock);
    return buffer.size();
  }

 private:
  void Grow(std::size_t needed) {
    std::size_t capacity = std::max<std::size_t>(buffer.size(), 1);
    do capacity *= 2;
    while (capacity < needed);
    std::vector<T> grown(capacity, T{});
    for (std::size_t i = 0; i < count; ++i) grown[i] = buffer[(position + i) % buffer.size()];
    buffer.swap(grown);
    position = 0;
  }

  std::vector<T> buffer;
  std::size_t position = 0;
  std::size_t count = 0;
  orv::Gate writeGate;  // open exactly while the pipe is empty
  orv::Gate readGate;   // open exactly while the pipe holds samples
  std::mutex lock;
};

}  // namespace orvbind
