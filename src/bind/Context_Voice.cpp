#include "bind/Context_Voice.h"

#include <atomic>

#include "bind/Context_Channel.h"
#include "common/OrvException.h"

namespace orvbind {
namespace {

// 64-bit handles: tag (16 bits), generation (24), slot index + 1 (24).
// 32-bit handles: generation (16), slot index + 1 (16); the tag then only
// seeds the generations, so another context's handle usually still fails.
constexpr bool kWide = sizeof(std::uintptr_t) >= 8;
constexpr int kIndexBits = kWide ? 24 : 16;
constexpr int kGenerationBits = kWide ? 24 : 16;
constexpr std::uintptr_t kIndexMask = (std::uintptr_t{1} << kIndexBits) - 1;
constexpr std::uintptr_t kGenerationMask = (std::uintptr_t{1} << kGenerationBits) - 1;

std::atomic<std::uint32_t> tableCount{0};

std::uintptr_t TagBits(std::uintptr_t tag) {
  if constexpr (kWide) return tag << (kIndexBits + kGenerationBits);
  return 0;
}

}  // namespace

VoiceTable::VoiceTable() : tag((tableCount.fetch_add(1) & 0x7fff) + 1) {}

OrvVoice* VoiceTable::Add(std::shared_ptr<HostVoice> channel) {
  std::uint32_t index;
  if (!freeSlots.empty()) {
    index = freeSlots.back();
    freeSlots.pop_back();
  } else {
    if (slots.size() + 1 >= kIndexMask) throw orv::Exception("Too many voices held.");
    index = static_cast<std::uint32_t>(slots.size());
    Slot slot;
    slot.generation = static_cast<std::uint32_t>(tag * 40503u);  // differs between tables
    slots.push_back(std::move(slot));
  }
  Slot& slot = slots[index];
  slot.channel = std::move(channel);
  const std::uintptr_t value =
      TagBits(tag) |
      ((static_cast<std::uintptr_t>(slot.generation) & kGenerationMask) << kIndexBits) |
      (static_cast<std::uintptr_t>(index) + 1);
  return reinterpret_cast<OrvVoice*>(value);
}

const VoiceTable::Slot* VoiceTable::Lookup(OrvVoice* voice) const {
  const auto value = reinterpret_cast<std::uintptr_t>(voice);
  if (value >> (kIndexBits + kGenerationBits) != TagBits(tag) >> (kIndexBits + kGenerationBits))
    return nullptr;
  const std::uintptr_t index = (value & kIndexMask);
  if (index == 0 || index > slots.size()) return nullptr;
  const Slot& slot = slots[index - 1];
  if (!slot.channel) return nullptr;
  const std::uintptr_t generation = (value >> kIndexBits) & kGenerationMask;
  if (generation != (slot.generation & kGenerationMask)) return nullptr;
  return &slot;
}

HostVoice* VoiceTable::Find(OrvVoice* voice) const {
  const Slot* slot = Lookup(voice);
  return slot ? slot->channel.get() : nullptr;
}

std::shared_ptr<HostVoice> VoiceTable::Remove(OrvVoice* voice) {
  const Slot* found = Lookup(voice);
  if (!found) return nullptr;
  Slot& slot = slots[static_cast<std::size_t>(found - slots.data())];
  std::shared_ptr<HostVoice> channel = std::move(slot.channel);
  slot.channel.reset();
  ++slot.generation;
  freeSlots.push_back(static_cast<std::uint32_t>(&slot - slots.data()));
  return channel;
}

std::vector<std::shared_ptr<HostVoice>> VoiceTable::RemoveAll() {
  std::vector<std::shared_ptr<HostVoice>> held;
  for (Slot& slot : slots) {
    if (slot.channel) held.push_back(std::move(slot.channel));
    slot.channel.reset();
    ++slot.generation;
  }
  slots.clear();
  freeSlots.clear();
  return held;
}

}  // namespace orvbind
