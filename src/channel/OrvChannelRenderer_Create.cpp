// Engine::CreateChannel: checks the request, builds the voice and hands it to
// the engine's pending list, from which the next block start picks it up.
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
  if (delay < 0.0) throw Exception("Delay is negative.");
  if (std::isnan(delay)) throw Exception("NaN delay.");
  // No start delay of 2^63 samples or more fits the channel's sample count.
  if (delay >= kDelayLimit) throw Exception("Too big delay value.");
  param.Validate();
  auto channel = std::make_shared<Channel>(weak_from_this(), delay, std::move(buffer), param);
  std::lock_guard<std::mutex> lock(channelsMutex);
  pendingChannels.push_back(channel);
  return channel;
}

}  // namespace orv
