// A voice: one playing instance of a sound buffer inside the engine. Host
// code changes it only through time-stamped updates, so every change lands on
// an exact output sample although rendering runs ahead on another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "channel/OrvChannelRenderer_Param.h"
#include "channel/OrvChannelRenderer_Updates.h"
#include "common/OrvBuffer.h"
#include "common/OrvThreadLocalBuffer.h"

namespace orv {

class Spatializer;

class Channel {
 public:
  // Turns buffer samples into one worker's mix buffers. Chosen once per voice.
  class Renderer {
   public:
    virtual ~Renderer() = default;
    // The channel's param has just been changed by an update.
    virtual void ParamUpdated() = 0;
    // Renders count samples from block sample offset on. ORV_REALTIME.
    // Returns false once a one-shot voice has run past its end.
    virtual bool Render(int offset, int count, ThreadLocalBuffer& buffers) noexcept = 0;
    // The spatializer's group that took the voice's direction in the last
    // block, or -1.
    virtual int SpatialGroup() const noexcept { return -1; }
  };

  // Input of renderer selection: the voice and what it needs of the engine.
  struct RendererBuildParam {
    const Buffer* buffer;
    ChannelParam* param;
    int interpolationMode;  // 0 nearest, 1 linear, 2 cubic
    int numChannels;
    AudioFormat format;
    double samplingRate;       // output rate, Hz: the cursor step is scaled to it
    Spatializer* spatializer;  // null without HRTF data; used only while building
  };

  // Last level of renderer selection: the renderer kind for one sampler type.
  // Defined beside the selection chain.
  template <class Sampler, int numChannels = Sampler::kNumChannels>
  struct RendererBuilderInner;

  // Used only by Engine::CreateChannel. updateLock: the engine's lock of
  // queued updates, held weakly (it lives as long as the engine): once it has
  // expired, host operations do nothing. samplingRate and spatializer as in
  // RendererBuildParam.
  Channel(std::weak_ptr<UpdateQueueLock> updateLock, double delay, std::shared_ptr<Buffer> buffer,
          const ChannelParam& param, double samplingRate, Spatializer* spatializer);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Host side (serialised by the context lock). delay: samples from the start
  // of the next block the engine renders.
  void UpdateChannelParam(double delay, const ChannelParam& param);
  void Stop(double delay);
  void Seek(double delay, double position);
  // Fades the voice out over frames (> 0) samples from delay on, then it ends.
  void FadeOut(double delay, std::int32_t frames);
  bool IsPlaying() const { return playing.load(std::memory_order_acquire); }
  // True once the voice has rendered its first sample (its start delay is over).
  bool HasStarted() const { return started.load(std::memory_order_acquire); }

  // Render thread, under the engine's update lock.
  void Prerender();
  void Postrender(long numSamples);

  // One worker, no lock: renders the whole block, cut at update time stamps.
  // ORV_REALTIME.
  void RenderBlock(int numFrames, ThreadLocalBuffer& buffers) noexcept;
  // Whether the block just rendered was cut at updates: only then may some
  // be left for Postrender to carry into the next block.
  bool HasBlockUpdates() const noexcept { return !currentUpdates.empty(); }
  // Renderer::SpatialGroup, read by the worker that rendered the block.
  int SpatialGroup() const noexcept { return renderer->SpatialGroup(); }

 private:
  void Render(int offset, int count, ThreadLocalBuffer& buffers) noexcept;
  void InternalUpdateChannelParam(const ChannelUpdate& update) noexcept;

  std::weak_ptr<UpdateQueueLock> updateLock;
  std::shared_ptr<Buffer> buffer;
  ChannelParam param;
  ChannelParam latestParam;
  std::atomic<bool> playing{true};
  std::atomic<bool> started{false};
  std::unique_ptr<Renderer> renderer;
  ChannelUpdateMap pendingUpdates;
  ChannelUpdateMap currentUpdates;
  std::int64_t startDelay = 0;
};

}  // namespace orv
