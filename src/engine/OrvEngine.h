// The mixer: turns the playing channels into limited stereo output, block by
// block. Owns the worker pool, the per-lane mix buffers, the room stages, the
// binaural spatializer and the master limiter. Built by the context from an
// EngineParam and always owned by a shared pointer (channels hold it weakly).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "channel/OrvChannelRenderer_Updates.h"
#include "common/OrvThreadLocalBuffer.h"
#include "engine/OrvEngine_Compressor.h"
#include "engine/OrvEngine_Param.h"
#include "room/OrvRoom.h"

namespace orv {

class Buffer;
class Channel;
class Spatializer;
class ThreadPool;
struct ChannelParam;

class Engine : public std::enable_shared_from_this<Engine> {
 public:
  explicit Engine(const EngineParam& param);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Starts a block: pending channels join, queued updates move into place,
  // the reverb settings are snapshotted. Render thread, context lock held.
  void Prerender();

  // Renders numFrames interleaved stereo frames into out (2 * numFrames
  // floats), within +-1. Render thread, context lock not held. ORV_REALTIME
  // apart from growing the mix buffers when the block size grows.
  void Render(float* out, int numFrames);

  // With true, the output no longer depends on the thread count, bit for
  // bit: the voices are dealt into a fixed set of lanes, whatever the number
  // of workers. Costs some speed on few threads. Any thread; applies from
  // the next block.
  void SetThreadIndependentMix(bool enable) { isThreadIndependent.store(enable); }

  // Host threads: creates a voice that starts delay samples into the next
  // block the engine renders. Throws Exception on bad arguments.
  std::shared_ptr<Channel> CreateChannel(double delay, std::shared_ptr<Buffer> buffer,
                                         const ChannelParam& param);

  // Host threads: replaces the HRTF set by ORVHRTFD data, resampled to the
  // output rate, from the next block on; playing voices crossfade into it.
  // Throws Exception on bad data (the current set stays) and without a
  // spatializer.
  void LoadHrtf(const void* data, std::size_t size);

  // --- Read or written by other layers ---------------------------------------
  EngineParam param;
  std::shared_ptr<Spatializer> spatializer;  // empty without HRTF data
  UpdateQueueLock channelsLock;              // guards pendingChannels and queued updates
  std::vector<std::shared_ptr<Channel>> pendingChannels;
  // Room targets, written by the host side under the context lock.
  std::array<ReverbLayerParam, 3> reverbLayers;

 private:
  void RenderChannels(int numFrames, std::size_t lanes, bool isFixedMix);
  void RenderRoomAndBinaural(int numFrames);
  void SumLanes(std::size_t lanes, std::vector<float> ThreadLocalBuffer::*first,
                std::vector<float> ThreadLocalBuffer::*second);
  void RenderOutput(float* out, int numFrames);
  void EndBlock(int numFrames, std::size_t lanes, bool isFixedMix);

  std::mutex renderMutex;
  std::shared_ptr<ThreadPool> threadPool;
  Compressor<2> compressor;

  // The room: reverb layers, bass enhancer and equaliser, run under Render
  // on slot 0's buffers. Built once with the engine.
  std::unique_ptr<Room> room;
  std::vector<std::shared_ptr<Channel>> renderChannels;
  // Per render channel, noted by the worker that rendered it: what EndBlock
  // must do with it.
  std::vector<std::uint8_t> channelEnds;
  // Per render channel, also noted by its worker: the slot that starts on
  // the binaural group of its direction, or kNoHome.
  static constexpr std::uint8_t kNoHome = 0xFF;
  std::vector<std::uint8_t> channelHomes;
  // That slot per group, as the last block dealt the groups out.
  std::vector<std::uint8_t> groupHomes;
  // Where each slot's voices begin in the next block, as the last block's
  // end ordered them for voiceShareLanes lanes (0: not ordered).
  std::array<std::size_t, kMaxLanes + 1> voiceShares{};
  std::size_t voiceShareLanes = 0;
  bool hasBlockUpdates = false;  // a survivor of the last block applied updates
  std::vector<ThreadLocalBuffer> threadLocalBuffers;
  std::array<ReverbLayerParam, 3> activeReverbLayers;
  std::atomic<bool> isThreadIndependent{false};
};

}  // namespace orv
