// A voice's time-stamped update queue: how a block is cut into segments at the
// updates' sample offsets, and how updates not yet reached move on to the next
// block. Kept apart from Channel so the bookkeeping can be checked on its own.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <mutex>

#include "channel/OrvChannelRenderer_Param.h"
#include "common/OrvAssert.h"

namespace orv {

// Key: sample offset from the start of a block. std::multimap keeps entries
// with equal keys in insertion order (a new one goes behind them), which is
// the order the updates must be applied in.
using ChannelUpdateMap = std::multimap<std::int64_t, ChannelUpdate>;

// The lock that the engine and its voices' host calls share over the update
// queues, with a count of the updates queued since the engine last took them
// in: a block start with none leaves the voices' queues untouched.
struct UpdateQueueLock {
  std::mutex mutex;
  std::uint64_t queued = 0;  // under mutex
};

// Renders one block of numFrames > 0 samples cut at the time stamps of
// updates: apply(update) for every entry whose key has been reached, in map
// order, and render(offset, count) for every segment between them. Segments
// are never empty; entries with keys >= numFrames are left for a later block.
// ORV_REALTIME as far as the two callbacks are.
template <class Apply, class RenderSegment>
void RenderBlockSegments(const ChannelUpdateMap& updates, int numFrames, Apply&& apply,
                         RenderSegment&& render) noexcept {
  auto next = updates.begin();
  int offset = 0;
  int remaining = numFrames;
  while (remaining > 0) {
    for (; next != updates.end() && next->first <= offset; ++next) apply(next->second);
    int samplesToProcess = remaining;
    if (next != updates.end() && next->first < offset + remaining) {
      samplesToProcess = static_cast<int>(next->first - offset);
    }
    ORV_ASSERT(samplesToProcess > 0, "OrvEngine");
    render(offset, samplesToProcess);
    offset += samplesToProcess;
    remaining -= samplesToProcess;
  }
}

// At the end of a block of numSamples: moves every entry of current with a
// key >= numSamples into pending at key - numSamples, in key order, each
// behind the entries already pending at that key (those were queued later in
// time by the host). Entries with smaller keys were applied and stay behind.
// Moves the map nodes, so it does not allocate.
inline void CarryOverUpdates(ChannelUpdateMap& current, ChannelUpdateMap& pending,
                             long numSamples) noexcept {
  auto it = current.lower_bound(static_cast<std::int64_t>(numSamples));
  while (it != current.end()) {
    auto node = current.extract(it++);
    node.key() -= numSamples;
    pending.insert(std::move(node));
  }
}

}  // namespace orv
