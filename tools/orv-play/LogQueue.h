// The library's log messages on their way to the main thread. The library
// calls its log callback on its render thread and also inside Render, which
// orv-play calls from the sound card's callback; so a message is queued
// without a lock or an allocation: a fixed ring of text slots, each claimed
// by an atomic ticket (a bounded multi-producer queue after Dmitry Vyukov).
// One consumer, the main thread, drains it. When the ring is full a message
// is dropped and counted rather than waited for.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvplay {

class LogQueue {
 public:
  static constexpr std::size_t kSlots = 256;       // a power of two
  static constexpr std::size_t kTextLength = 256;  // longer messages are cut

  LogQueue() noexcept;
  LogQueue(const LogQueue&) = delete;
  LogQueue& operator=(const LogQueue&) = delete;

  // OrvLogCallback; userData is the LogQueue. Real-time safe.
  static void Callback(const char* message, void* userData) noexcept;

  // Any thread. False (and counted) when the ring is full.
  bool Push(const char* message) noexcept;

  // The consumer thread only: appends the queued messages in order.
  void DrainInto(std::vector<std::string>& messages);

  std::uint64_t Dropped() const noexcept { return dropped.load(std::memory_order_relaxed); }

 private:
  struct Slot {
    // Equals the ticket that may write it, or that ticket + 1 once written.
    std::atomic<std::size_t> sequence{0};
    char text[kTextLength];
  };
  std::array<Slot, kSlots> slots;
  std::atomic<std::size_t> nextTicket{0};
  std::size_t nextRead = 0;
  std::atomic<std::uint64_t> dropped{0};
};

}  // namespace orvplay
