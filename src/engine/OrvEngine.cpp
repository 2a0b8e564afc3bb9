#include "engine/OrvEngine.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>

#include "channel/OrvChannelRenderer.h"
#include "common/OrvAssert.h"
#include "common/OrvException.h"
#include "dsp/OrvInternals_Vector.h"
#include "engine/OrvEngine_ThreadPool.h"
#include "spatializer/OrvSpatializer.h"

namespace orv {
namespace {

// A lane is used only for every full group of this many channels, so that
// small blocks do not pay for the hand-over to workers.
constexpr std::size_t kChannelsPerLane = 8;

// The lanes of a block with count channels. As many as there are threads
// is cheapest; a function of the count alone sums the mix the same way at
// any thread count, at the price of more and emptier lanes.
std::size_t LanesFor(std::size_t count, std::size_t numThreads, bool isThreadIndependent) {
  const std::size_t lanes = std::clamp<std::size_t>(count / kChannelsPerLane, 1, kMaxLanes);
  return isThreadIndependent ? lanes : std::min(lanes, numThreads);
}

// Runs item(k, i) for every i below count, slot k taking i = k, k + slots,
// ... The task captures one pointer, so it stays inside std::function's local
// storage: nothing is allocated per block.
template <class Item>
void ForEachStriped(ThreadPool& pool, std::size_t count, std::size_t slots, const Item& item) {
  struct Stage {
    const Item* item;
    std::size_t count;
    std::size_t slots;
  } stage{&item, count, slots};
  const std::function<void(std::size_t)> task = [&stage](std::size_t k) {
    for (std::size_t i = k; i < stage.count; i += stage.slots) (*stage.item)(k, i);
  };
  pool.ExecuteParallel(slots, task);
}

// Where slot k's share of count items begins when they are split evenly;
// bounds[slots] is count.
using ShareBounds = std::array<std::size_t, kMaxLanes + 1>;
ShareBounds EvenShares(std::size_t count, std::size_t slots) {
  ShareBounds bounds{};
  for (std::size_t k = 0; k <= slots; ++k) bounds[k] = k * count / slots;
  return bounds;
}

// The same, but each slot takes the next run of up to run items not yet
// taken: a slot that starts late or runs slower takes fewer. Slot k starts
// on its own share of the items, bounds[k] .. bounds[k + 1], and takes from
// the other shares once its own is done: from block to block mostly the
// same slot takes an item, so the item's data stays in that core's cache.
// For items whose results do not depend on the slot or the order.
template <class Item>
void ForEachTaken(ThreadPool& pool, const ShareBounds& bounds, std::size_t slots, std::size_t run,
                  const Item& item) {
  struct alignas(64) Share {  // a line each: the slots take from their own
    std::atomic<std::size_t> next;
    std::size_t end;
  };
  std::array<Share, kMaxLanes> shares;
  slots = std::min(slots, shares.size());
  for (std::size_t k = 0; k < slots; ++k) {
    shares[k].next.store(bounds[k], std::memory_order_relaxed);
    shares[k].end = bounds[k + 1];
  }
  struct Stage {
    const Item* item;
    std::array<Share, kMaxLanes>* shares;
    std::size_t slots;
    std::size_t run;
  } stage{&item, &shares, slots, run};
  const std::function<void(std::size_t)> task = [&stage](std::size_t k) {
    for (std::size_t j = 0; j < stage.slots; ++j) {
      Share& share = (*stage.shares)[(k + j) % stage.slots];
      for (std::size_t i = share.next.fetch_add(stage.run, std::memory_order_relaxed);
           i < share.end; i = share.next.fetch_add(stage.run, std::memory_order_relaxed))
        for (std::size_t end = std::min(share.end, i + stage.run); i < end; ++i)
          (*stage.item)(k, i);
    }
  };
  pool.ExecuteParallel(slots, task);
}

// What the block's end must do with a channel: keep it, and carry the
// updates it has not reached over into the next block.
constexpr std::uint8_t kPlays = 1;
constexpr std::uint8_t kHasUpdates = 2;
std::uint8_t ChannelEnd(const Channel& channel) noexcept {
  return static_cast<std::uint8_t>((channel.IsPlaying() ? kPlays : 0) |
                                   (channel.HasBlockUpdates() ? kHasUpdates : 0));
}

float CompressorRate(const EngineParam& param) {
  param.Validate();
  if (param.numChannels != 2) throw Exception("Unsupported channel count: %d", param.numChannels);
  return static_cast<float>(param.samplingRate);
}

}  // namespace

Engine::Engine(const EngineParam& engineParam)
    : param(engineParam),
      reverbLayers(kDefaultReverbLayers),
      compressor(CompressorRate(engineParam)),
      activeReverbLayers(kDefaultReverbLayers) {
  groupHomes.assign(Spatializer::kNumGroups, kNoHome);
  threadPool = std::make_shared<ThreadPool>(static_cast<std::size_t>(param.numThreads));
  threadLocalBuffers.resize(kMaxLanes);
  for (std::size_t k = 0; k < kMaxLanes; ++k) threadLocalBuffers[k].lane = k;
  room = std::make_unique<Room>(param.samplingRate);
  if (param.hrtfData)
    spatializer =
        std::make_shared<Spatializer>(param.hrtfData, param.hrtfDataSize, param.samplingRate);
}

Engine::~Engine() {
  // A block in progress finishes first; the lock is held to the end.
  renderMutex.lock();
  renderChannels.clear();
  pendingChannels.clear();
  threadPool.reset();
  renderMutex.unlock();
}

void Engine::Prerender() {
  std::lock_guard<std::mutex> renderLock(renderMutex);
  {
    std::lock_guard<std::mutex> lock(channelsLock.mutex);
    // The previous block's survivors were already moved to pendingChannels.
    renderChannels.clear();
    std::swap(renderChannels, pendingChannels);
    // Queues change only when the host queued updates or a block applied
    // some; otherwise the voices stay in the caches of their workers.
    if (channelsLock.queued > 0 || hasBlockUpdates)
      for (const auto& channel : renderChannels) channel->Prerender();
    channelsLock.queued = 0;
    hasBlockUpdates = false;
  }
  activeReverbLayers = reverbLayers;
}

void Engine::Render(float* out, int numFrames) {
  std::lock_guard<std::mutex> renderLock(renderMutex);
  const std::size_t n = numFrames > 0 ? static_cast<std::size_t>(numFrames) : 0;
  const bool isFixedMix = isThreadIndependent.load(std::memory_order_relaxed);
  const std::size_t count = renderChannels.size();
  const std::size_t lanes = LanesFor(count, static_cast<std::size_t>(param.numThreads), isFixedMix);
  if (n > 0) {
    for (std::size_t k = 0; k < lanes; ++k) {
      ThreadLocalBuffer& lane = threadLocalBuffers[k];
      // assign keeps the storage once the largest block size has been seen.
      lane.mainMix.assign(2 * n, 0.0f);
      lane.spatialMix.assign(2 * n, 0.0f);
      lane.reverbSend.assign(n, 0.0f);
      lane.dryMonoSum.assign(n, 0.0f);
      lane.sourceScratch.resize(n);
    }
    // Lanes that take voices as they come free may each get all of them.
    if (spatializer)
      spatializer->BeginRender(n, lanes, isFixedMix ? (count + lanes - 1) / lanes : count);
    RenderChannels(numFrames, lanes, isFixedMix);
    SumLanes(lanes, &ThreadLocalBuffer::reverbSend, &ThreadLocalBuffer::dryMonoSum);
    RenderRoomAndBinaural(numFrames);
    ThreadLocalBuffer& r0 = threadLocalBuffers[0];
    SumLanes(lanes, &ThreadLocalBuffer::mainMix, &ThreadLocalBuffer::spatialMix);
    if (!r0.spatialMix.empty())
      room->RenderEqualizer(r0.spatialMix.data(), r0.mainMix.data(), numFrames);
    RenderOutput(out, numFrames);
  }
  EndBlock(numFrames, lanes, isFixedMix);
}

void Engine::RenderChannels(int numFrames, std::size_t lanes, bool isFixedMix) {
  const std::size_t count = renderChannels.size();
  channelEnds.resize(count);
  // No copy of the shared pointer: renderChannels holds every voice until
  // the block ends, and a copy would contend on a count shared across workers.
  // What the block's end needs of the voice is noted while it is in this
  // worker's cache.
  // Only when workers take voices as they come free does the block's end
  // order them by the slot they belong to.
  const bool isRouted = !isFixedMix && lanes > 1;
  channelHomes.resize(isRouted ? count : 0);
  auto render = [this, numFrames, isRouted](std::size_t i, ThreadLocalBuffer& buffers) {
    Channel& channel = *renderChannels[i];
    channel.RenderBlock(numFrames, buffers);
    channelEnds[i] = ChannelEnd(channel);
    if (!isRouted) return;
    const int group = channel.SpatialGroup();
    channelHomes[i] = group >= 0 && static_cast<std::size_t>(group) < groupHomes.size()
                          ? groupHomes[static_cast<std::size_t>(group)]
                          : kNoHome;
  };
  if (isFixedMix || lanes == 1) {
    // Lane k mixes channels k, k + lanes, ... in that order, on whichever
    // slot: the lanes' sums do not depend on the threads.
    const std::size_t slots = std::min(lanes, static_cast<std::size_t>(param.numThreads));
    ForEachStriped(*threadPool, lanes, slots,
                   [this, count, lanes, &render](std::size_t, std::size_t k) {
                     for (std::size_t i = k; i < count; i += lanes)
                       render(i, threadLocalBuffers[k]);
                   });
    return;
  }
  // One lane per slot, each taking runs of voices as it gets to them: the
  // worker that starts late, or finds the voices cold in its cache, takes
  // fewer, and no slot waits long for another at the end. Runs small enough
  // to even out the end, large enough that taking one costs nothing. Each
  // slot starts on the voices whose directions its binaural groups took
  // last block, as the last block's end ordered them: their inputs are then
  // mixed in the cache that transforms them.
  const std::size_t run = std::max<std::size_t>(1, count / (lanes * 16));
  ShareBounds bounds = EvenShares(count, lanes);
  if (voiceShareLanes == lanes) {
    for (std::size_t k = 1; k < lanes; ++k) bounds[k] = std::min(voiceShares[k], count);
  }
  ForEachTaken(*threadPool, bounds, lanes, run,
               [this, &render](std::size_t k, std::size_t i) { render(i, threadLocalBuffers[k]); });
}

void Engine::RenderRoomAndBinaural(int numFrames) {
  // The room reads only the summed sends and writes only the first lane's
  // mix, the binaural groups only the spatializer: item 0, the room, runs
  // beside the groups instead of before them.
  const std::size_t groups = spatializer ? spatializer->PrepareEndRender() : 0;
  auto item = [this, numFrames](std::size_t, std::size_t i) {
    if (i > 0) {
      spatializer->EndRender(i - 1);
      return;
    }
    ThreadLocalBuffer& r0 = threadLocalBuffers[0];
    room->SetLayers(activeReverbLayers);
    room->RenderReverb(r0.reverbSend.data(), r0.mainMix.data(), r0.dryMonoSum.data(), numFrames);
    room->RenderBassEnhancer(r0.dryMonoSum.data(), r0.mainMix.data(), numFrames);
  };
  const std::size_t slots =
      std::min<std::size_t>(1 + groups, static_cast<std::size_t>(param.numThreads));
  const ShareBounds bounds = EvenShares(1 + groups, slots);
  // Which slot starts on each group (item 1 + g), for the next block's voices.
  std::fill(groupHomes.begin(), groupHomes.end(), kNoHome);
  for (std::size_t k = 0; k < slots; ++k)
    for (std::size_t i = std::max<std::size_t>(bounds[k], 1); i < bounds[k + 1]; ++i)
      groupHomes[i - 1] = static_cast<std::uint8_t>(k);
  ForEachTaken(*threadPool, bounds, slots, 1, item);
  // The accumulated hops are transformed back once for all angles; the tail
  // of earlier hops sounds on without input.
  if (spatializer) spatializer->FinishRender(threadLocalBuffers[0].spatialMix.data());
}

void Engine::SumLanes(std::size_t lanes, std::vector<float> ThreadLocalBuffer::*first,
                      std::vector<float> ThreadLocalBuffer::*second) {
  // Up to four lanes per pass, in lane order.
  for (auto member : {first, second}) {
    std::vector<float>& dst = threadLocalBuffers[0].*member;
    const std::size_t n = dst.size();
    auto src = [&](std::size_t k) { return (threadLocalBuffers[k].*member).data(); };
    std::size_t k = 1;
    for (; k + 4 <= lanes; k += 4)
      Accumulate(n, dst.data(), src(k), src(k + 1), src(k + 2), src(k + 3));
    switch (lanes - k) {
      case 3: Accumulate(n, dst.data(), src(k), src(k + 1), src(k + 2)); break;
      case 2: Accumulate(n, dst.data(), src(k), src(k + 1)); break;
      case 1: Accumulate(n, dst.data(), src(k)); break;
      default: break;
    }
  }
}

void Engine::RenderOutput(float* out, int numFrames) {
  const std::size_t n = static_cast<std::size_t>(numFrames);
  std::memcpy(out, threadLocalBuffers[0].mainMix.data(), 2 * n * sizeof(float));
  for (std::size_t i = 0; i < n; ++i) {
    const auto limited = compressor.ProcessSample({out[2 * i], out[2 * i + 1]});
    for (std::size_t c = 0; c < 2; ++c) {
      const float v = std::isnan(limited[c]) ? 0.0f : limited[c];
      out[2 * i + c] = std::clamp(v, -1.0f, 1.0f);
    }
  }
}

void Engine::EndBlock(int numFrames, std::size_t lanes, bool isFixedMix) {
  std::lock_guard<std::mutex> lock(channelsLock.mutex);
  // Survivors go behind the channels created during the block, moved: a
  // copy would write each voice's reference count, on a cache line the
  // worker that rendered the voice holds. The ended ones stay until
  // Prerender lets go of them, outside Render. Only voices whose block had
  // updates can have some to carry over (a new voice's wait in its pending
  // queue): the others are not touched at all.
  //
  // When workers took voices as they came free, the survivors go in one
  // run per slot, each slot's voices those whose directions its binaural
  // groups took; the rest go last. Offline mode keeps their order: its mix
  // must not depend on the threads.
  const std::size_t count = renderChannels.size();
  // Homes are noted only when the voices were routed (and rendered).
  const bool isRouted = !isFixedMix && lanes > 1 && count > 0 && channelHomes.size() == count;
  auto runOf = [&](std::size_t i) -> std::size_t {
    return isRouted ? std::min<std::size_t>(channelHomes[i], lanes) : 0;
  };
  // A Render of no frames rendered nothing and noted nothing.
  auto endOf = [&](std::size_t i) {
    return i < channelEnds.size() ? channelEnds[i] : ChannelEnd(*renderChannels[i]);
  };
  std::array<std::size_t, kMaxLanes + 2> places{};  // where each run goes next
  bool isInPlace = pendingChannels.empty();
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t end = endOf(i);
    if (!(end & kPlays)) {
      isInPlace = false;
      continue;
    }
    if (end & kHasUpdates) {
      renderChannels[i]->Postrender(numFrames);
      hasBlockUpdates = true;
    }
    isInPlace = isInPlace && (i == 0 || runOf(i - 1) <= runOf(i));
    ++places[runOf(i) + 1];
  }
  places[0] = pendingChannels.size();
  for (std::size_t r = 1; r < places.size(); ++r) places[r] += places[r - 1];
  voiceShareLanes = isRouted ? lanes : 0;
  std::copy_n(places.begin(), voiceShares.size(), voiceShares.begin());
  voiceShares[0] = 0;  // voices created during the block go with slot 0's
  if (isInPlace) {
    // Every voice plays on, already in its run, and none came in: the list
    // is handed over whole, without a write to the lines that workers read.
    std::swap(renderChannels, pendingChannels);
  } else {
    pendingChannels.resize(places.back());
    for (std::size_t i = 0; i < count; ++i)
      if (endOf(i) & kPlays) pendingChannels[places[runOf(i)]++] = std::move(renderChannels[i]);
    std::erase(renderChannels, nullptr);
  }
  channelEnds.clear();
  channelHomes.clear();
}

}  // namespace orv
