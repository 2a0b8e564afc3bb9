// Play requests and the listener: turn the host's requests into engine voices
// and the host's room description into the engine's reverb layers.
#include <algorithm>
#include <cmath>

#include "bind/Context.h"
#include "bind/Context_Buffer.h"
#include "bind/Context_Channel.h"
#include "channel/OrvChannelRenderer.h"
#include "common/OrvException.h"
#include "engine/OrvEngine.h"

namespace orvbind {
namespace {

Vector3 Cross(const Vector3& a, const Vector3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

Vector3 Normalize(const Vector3& v) {
  const float s = std::sqrt(1.0f / (v.x * v.x + v.y * v.y + v.z * v.z));
  return {v.x * s, v.y * s, v.z * s};
}

bool IsFinite(const Vector3& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// A normalised axis comes out of unit length unless its input was zero,
// parallel, too small or too large to normalise in float; NaN fails too.
bool IsUnit(const Vector3& v) {
  return std::fabs(v.x * v.x + v.y * v.y + v.z * v.z - 1.0f) <= 1e-3f;
}

}  // namespace

void Context::PlayLocal(std::shared_ptr<OrvBuffer> buffer, const PlayParam& params) {
  orv::ChannelParam p;
  p.gain = params.volume;
  p.speed = params.speed;
  p.referenceDistance = params.referenceDistance;
  // Local sounds are neither positioned nor sent to the room.
  p.reverbGain = 0.0f;
  std::lock_guard<std::mutex> lock(mutex);
  engine->CreateChannel(EventDelay(), std::move(buffer), p);
}

void Context::PlayRelative(std::shared_ptr<OrvBuffer> buffer, const Vector3& origin,
                           const PlayParam& params) {
  PlayPositioned(std::move(buffer), origin, params, true);
}

void Context::PlayAbsolute(std::shared_ptr<OrvBuffer> buffer, const Vector3& origin,
                           const PlayParam& params) {
  PlayPositioned(std::move(buffer), origin, params, false);
}

void Context::PlayPositioned(std::shared_ptr<OrvBuffer> buffer, const Vector3& origin,
                             const PlayParam& params, bool isRelative) {
  auto channel =
      std::make_shared<Channel>(shared_from_this(), std::move(buffer), params, origin, isRelative);
  channels.push_back(std::move(channel));
  activeChannels.store(channels.size());
  // Finished host channels are dropped at Respatialize; a host that never
  // moves the listener must not grow the queue without bound.
  if (channels.size() > 4 * static_cast<std::size_t>(std::max(param.maxPolyphonics, 0))) Update();
}

void Context::Respatialize(const Vector3& newEye, const Vector3& newFront, const Vector3& newUp,
                           const ReverbParam& reverb) {
  // A bad listener would turn every world voice's position into NaN for
  // good; it is refused whole, room included, and the last good one stays.
  const Vector3 newRight = Normalize(Cross(newFront, newUp));
  const Vector3 newUpAxis = Normalize(Cross(newRight, newFront));
  if (!IsFinite(newEye) || !IsFinite(newFront) || !IsFinite(newUp) || !IsUnit(newRight) ||
      !IsUnit(newUpAxis))
    throw orv::Exception("Invalid listener orientation.");
  eye = newEye;
  front = newFront;
  reverbParam = reverb;
  right = newRight;
  up = newUpAxis;
  {
    std::lock_guard<std::mutex> lock(mutex);
    LimitPolyphonics(EventDelay());
    engine->reverbLayers = orv::DeriveReverbLayers(reverb.reflectivity, reverb.roomVolume,
                                                   reverb.roomArea, reverb.enclosure);
  }
  Update();
}

}  // namespace orvbind
