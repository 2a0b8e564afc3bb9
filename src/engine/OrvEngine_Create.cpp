// Engine::CreateChannel: checks the request, builds the voice with what it
// needs of the engine (output rate, spatializer, the lock of queued updates)
// and hands it to the pending list, from which the next block start picks it up.
#include <cmath>
#include <mutex>

#include "channel/OrvChannelRenderer.h"
#include "channel/OrvChannelRenderer_Delay.h"
#include "common/OrvException.h"
#include "engine/OrvEngine.h"

namespace orv {

std::shared_ptr<Channel> Engine::CreateChannel(double delay, std::shared_ptr<Buffer> buffer,
                                               const ChannelParam& param) {
  if (!buffer) throw Exception("Buffer is null.");
  CheckDelay(delay, "NaN delay.");
  param.Validate();
  // The voice holds the lock through the engine's own reference count: the
  // weak reference expires with the engine.
  const std::weak_ptr<UpdateQueueLock> updateLock =
      std::shared_ptr<UpdateQueueLock>(shared_from_this(), &channelsLock);
  auto channel = std::make_shared<Channel>(updateLock, delay, std::move(buffer), param,
                                           this->param.samplingRate, spatializer.get());
  std::lock_guard<std::mutex> lock(channelsLock.mutex);
  pendingChannels.push_back(channel);
  return channel;
}

}  // namespace orv
