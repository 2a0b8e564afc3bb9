// A sound as the host side sees it: keeps its engine voice up to date with
// the listener (position, distance gain, reverb send, low-pass, Doppler).
// Version 1's positioned sounds and version 2's voices are both channels; a
// voice may also be local (unpositioned) and looping, and the host may move,
// rescale, retune and stop it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "channel/OrvChannelRenderer_Param.h"
#include "orv/orv.h"

namespace orv {
class Buffer;
class Channel;
}  // namespace orv

namespace orvbind {

class Context;

// What a sound was played as, and what the host has changed since.
struct ChannelSetup {
  PlayParam params{1.0f, 1.0f, 1.0f};
  Vector3 origin{0.0f, 0.0f, 0.0f};    // in the space below; unused for local sounds
  Vector3 velocity{0.0f, 0.0f, 0.0f};  // same space, metres per second
  int space = ORV_SPACE_LISTENER;      // ORV_SPACE_*
  bool isLooped = false;
  bool isVoice = false;  // played through version 2: its gain changes glide
};

class HostVoice {
 public:
  // A version 1 positioned sound: starts at the context's event delay.
  // Creates the engine voice under the context lock, after applying the
  // polyphony limit to the channels already queued. Throws what the engine
  // throws (for example "NaN speed."). Host lock held.
  HostVoice(const std::shared_ptr<Context>& context, std::shared_ptr<orv::Buffer> buffer,
            const PlayParam& params, const Vector3& origin, bool isRelative);
  // Any sound; startFrame as OrvVoiceParam::startFrame (-1: the event delay).
  // Host lock held.
  HostVoice(const std::shared_ptr<Context>& context, std::shared_ptr<orv::Buffer> buffer,
            const ChannelSetup& setup, std::int64_t startFrame);

  // The voice's parameters for the current listener and room. Host lock held.
  orv::ChannelParam CreateParam() const;
  // Sends changed parameters to the voice at the context's event delay;
  // false once it should be dropped. Host lock held.
  bool Update();
  // Stops the voice delay samples into the next block: the polyphony limit
  // steals it. Host and context lock held.
  void Terminate(double delay);
  // Stops the voice at the current event delay.
  void Terminate();

  // Version 2, host lock held; each applies from the next block not yet
  // started. Move keeps the velocity when it is null.
  void Move(const Vector3& origin, const Vector3* velocity);
  void SetVolume(float volume);
  void SetSpeed(float speed);
  // Fades out over kStopFadeSeconds, then the voice ends.
  void Stop();
  // ORV_VOICE_*.
  int State() const;
  bool IsLooped() const { return setup.isLooped; }
  bool IsLocal() const { return setup.space == ORV_SPACE_LOCAL; }

 private:
  void Create(const std::shared_ptr<Context>& owner, std::shared_ptr<orv::Buffer> buffer,
              std::int64_t startFrame);
  // Sends the parameters if they changed, delay samples into the next block.
  bool Update(double delay, bool useEventDelay);

  std::weak_ptr<Context> context;
  std::shared_ptr<orv::Channel> engineChannel;
  ChannelSetup setup;
  bool isMono;
  std::int64_t numFrames;
  std::int32_t fadeOutFrames = 0;
  std::atomic<bool> isCut{false};  // stolen, or stopped before it started
  orv::ChannelParam lastParam;
};

// The parameters of a local sound: its own gain and speed, no room.
orv::ChannelParam LocalChannelParam(const PlayParam& params);

// The parameters of a sound at listener-space position p: distance gain for
// stereo sounds (spatialized mono sounds get theirs in the renderer), the
// reverb send with the room's distance falloff, and the NaN guard. The
// low-pass coefficient is clamped to [0, 1], NaN read as 1 (unfiltered).
orv::ChannelParam PositionedChannelParam(const PlayParam& params, const Vector3& position,
                                         bool isMono, float roomSize, float lowPassCoef);

}  // namespace orvbind
