// A voice's lifecycle: construction, time-stamped updates, block rendering
// cut at the updates' time stamps, start delay and end.
#include <cmath>
#include <mutex>
#include <utility>

#include "channel/OrvChannelRenderer.h"
#include "channel/OrvChannelRenderer_Delay.h"
#include "channel/OrvChannelRenderer_Selection.h"
#include "common/OrvAssert.h"
#include "common/OrvException.h"

namespace orv {

Channel::Channel(std::weak_ptr<UpdateQueueLock> updateLock, double delay,
                 std::shared_ptr<Buffer> buffer, const ChannelParam& param, double samplingRate,
                 Spatializer* spatializer)
    : updateLock(std::move(updateLock)),
      buffer(std::move(buffer)),
      param(param),
      latestParam(param),
      startDelay(DelayToSamples(delay)) {
  // Voices always play with linear interpolation; the selection offers all three.
  const RendererBuildParam build{
      this->buffer.get(),        &this->param, 1,          this->buffer->GetNumChannels(),
      this->buffer->GetFormat(), samplingRate, spatializer};
  renderer = RendererBuilder::NumChannelsSelector::Get(build);
}

Channel::~Channel() = default;

void Channel::UpdateChannelParam(double delay, const ChannelParam& param) {
  const std::shared_ptr<UpdateQueueLock> queue = updateLock.lock();
  if (!queue) return;
  param.Validate();
  CheckDelay(delay, "NaN delay");
  if (param.isLooped != latestParam.isLooped) {
    throw Exception("Cannot modify the value of 'isLooped' of ChannelParam.");
  }
  if (param.isSpatialized != latestParam.isSpatialized) {
    throw Exception("Cannot modify the value of 'isSpatialized' of ChannelParam.");
  }
  if (latestParam.shouldStop && !param.shouldStop) {
    throw Exception("Cannot cancel stopping the channel (shouldStop set to false).");
  }
  const std::int64_t key = DelayToSamples(delay);
  std::lock_guard<std::mutex> lock(queue->mutex);
  pendingUpdates.emplace(key, ChannelUpdate{param, false});
  ++queue->queued;
  latestParam = param;
}

void Channel::Stop(double delay) {
  ChannelParam stopped = latestParam;
  stopped.shouldStop = true;
  UpdateChannelParam(delay, stopped);
}

void Channel::FadeOut(double delay, std::int32_t frames) {
  ChannelParam faded = latestParam;
  faded.fadeOutFrames = frames;
  UpdateChannelParam(delay, faded);
}

void Channel::Seek(double delay, double position) {
  const std::shared_ptr<UpdateQueueLock> queue = updateLock.lock();
  if (!queue) return;
  // The delay becomes a sample count, so it gets the checks of every update.
  // The position is not checked: the renderer ends a voice whose cursor is
  // not finite.
  CheckDelay(delay, "NaN delay");
  const std::int64_t key = DelayToSamples(delay);
  std::lock_guard<std::mutex> lock(queue->mutex);
  latestParam.position = position;
  pendingUpdates.emplace(key, ChannelUpdate{latestParam, true});
  ++queue->queued;
}

void Channel::Prerender() {
  // Most voices have no updates: their queues are then only read, and stay
  // in the cache of the worker that renders them.
  if (currentUpdates.empty() && pendingUpdates.empty()) return;
  currentUpdates.clear();
  std::swap(pendingUpdates, currentUpdates);
}

void Channel::Postrender(long numSamples) {
  CarryOverUpdates(currentUpdates, pendingUpdates, numSamples);
}

void Channel::RenderBlock(int numFrames, ThreadLocalBuffer& buffers) noexcept {
  // No engine reference is taken: the engine calls this, so it is alive, and
  // a reference count shared by every worker would cost more than the voice.
  RenderBlockSegments(
      currentUpdates, numFrames,
      [this](const ChannelUpdate& update) { InternalUpdateChannelParam(update); },
      [this, &buffers](int offset, int count) { Render(offset, count, buffers); });
}

void Channel::Render(int offset, int count, ThreadLocalBuffer& buffers) noexcept {
  if (!playing.load(std::memory_order_relaxed)) return;
  if (startDelay >= count) {
    startDelay -= count;
    return;
  }
  if (startDelay > 0) {
    offset += static_cast<int>(startDelay);
    count -= static_cast<int>(startDelay);
    startDelay = 0;
  }
  if (!started.load(std::memory_order_relaxed)) started.store(true, std::memory_order_release);
  if (param.shouldStop || !renderer->Render(offset, count, buffers)) {
    playing.store(false, std::memory_order_release);
  }
}

void Channel::InternalUpdateChannelParam(const ChannelUpdate& update) noexcept {
  const double position = param.position;
  param = update.param;
  if (!update.isSeek) param.position = position;
  renderer->ParamUpdated();
}

}  // namespace orv
