#include "LogQueue.h"

#include <cstring>

namespace orvplay {

static_assert((LogQueue::kSlots & (LogQueue::kSlots - 1)) == 0, "the ring wraps by masking");

LogQueue::LogQueue() noexcept {
  for (std::size_t i = 0; i < kSlots; ++i) slots[i].sequence.store(i, std::memory_order_relaxed);
}

void LogQueue::Callback(const char* message, void* userData) noexcept {
  static_cast<LogQueue*>(userData)->Push(message ? message : "");
}

bool LogQueue::Push(const char* message) noexcept {
  std::size_t ticket = nextTicket.load(std::memory_order_relaxed);
  Slot* slot;
  for (;;) {
    slot = &slots[ticket & (kSlots - 1)];
    const std::size_t sequence = slot->sequence.load(std::memory_order_acquire);
    const auto lag = static_cast<std::ptrdiff_t>(sequence - ticket);
    if (lag == 0) {
      if (nextTicket.compare_exchange_weak(ticket, ticket + 1, std::memory_order_relaxed)) break;
    } else if (lag < 0) {  // the slot still holds a message a full ring ago: full
      dropped.fetch_add(1, std::memory_order_relaxed);
      return false;
    } else {  // another producer took this ticket first
      ticket = nextTicket.load(std::memory_order_relaxed);
    }
  }
  std::strncpy(slot->text, message, kTextLength - 1);
  slot->text[kTextLength - 1] = '\0';
  slot->sequence.store(ticket + 1, std::memory_order_release);
  return true;
}

void LogQueue::DrainInto(std::vector<std::string>& messages) {
  for (;;) {
    Slot& slot = slots[nextRead & (kSlots - 1)];
    if (slot.sequence.load(std::memory_order_acquire) != nextRead + 1) return;
    messages.emplace_back(slot.text);
    // Free for the ticket one ring later.
    slot.sequence.store(nextRead + kSlots, std::memory_order_release);
    ++nextRead;
  }
}

}  // namespace orvplay
