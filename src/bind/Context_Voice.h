// Voice handles: what OrvContext2::Play hands out. A handle is a slot index,
// the slot's generation and a tag of the table it came from, packed into the
// pointer's bits, so a released handle or one of another context is told
// from a live one without ever being dereferenced.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "orv/orv.h"

namespace orvbind {

class HostVoice;

class VoiceTable {
 public:
  VoiceTable();

  // A new handle for channel.
  OrvVoice* Add(std::shared_ptr<HostVoice> channel);
  // The channel behind a live handle, or null for any other value.
  HostVoice* Find(OrvVoice* voice) const;
  // Gives a live handle back (its slot's generation moves on) and returns
  // its channel; null for any other value.
  std::shared_ptr<HostVoice> Remove(OrvVoice* voice);
  // Every channel still held, for Destroy.
  std::vector<std::shared_ptr<HostVoice>> RemoveAll();

 private:
  struct Slot {
    std::uint32_t generation = 0;
    std::shared_ptr<HostVoice> channel;
  };
  // The slot of a live handle, or null.
  const Slot* Lookup(OrvVoice* voice) const;

  std::uintptr_t tag;
  std::vector<Slot> slots;
  std::vector<std::uint32_t> freeSlots;
};

}  // namespace orvbind
