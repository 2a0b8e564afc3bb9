// A positioned sound as the host side sees it: keeps its engine voice up to
// date with the listener (position, distance gain, reverb send, low-pass).
#pragma once

#include <memory>

#include "channel/OrvChannelRenderer_Param.h"
#include "orv/orv.h"

namespace orv {
class Buffer;
class Channel;
}  // namespace orv

namespace orvbind {

class Context;

class Channel {
 public:
  // Creates the engine voice under the context lock, after applying the
  // polyphony limit to the channels already queued. Throws what the engine
  // throws (for example "NaN speed.").
  Channel(const std::shared_ptr<Context>& context, std::shared_ptr<orv::Buffer> buffer,
          const PlayParam& params, const Vector3& origin, bool isRelative);

  // The voice's parameters for the current listener and room.
  orv::ChannelParam CreateParam() const;
  // Sends changed parameters to the voice; false once it should be dropped.
  bool Update();
  // Stops the voice delay samples into the next block. Context lock held.
  void Terminate(double delay);
  // Stops the voice at the current event delay.
  void Terminate();

 private:
  std::weak_ptr<Context> context;
  std::shared_ptr<orv::Channel> engineChannel;
  PlayParam params;
  Vector3 origin;
  bool isRelative;
  bool isMono;
  orv::ChannelParam lastParam;
};

// The parameters of a sound at listener-space position p: distance gain for
// stereo sounds (spatialized mono sounds get theirs in the renderer), the
// reverb send with the room's distance falloff, and the NaN guard. The
// low-pass coefficient is clamped to [0, 1], NaN read as 1 (unfiltered).
orv::ChannelParam PositionedChannelParam(const PlayParam& params, const Vector3& position,
                                         bool isMono, float roomSize, float lowPassCoef);

}  // namespace orvbind
