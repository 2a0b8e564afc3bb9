#include "bind/Context_Channel.h"

#include <cmath>

#include "bind/Context.h"
#include "bind/Context_Callback.h"
#include "channel/OrvChannelRenderer.h"
#include "common/OrvAssert.h"
#include "engine/OrvEngine.h"

namespace orvbind {
namespace {

float Dot(const Vector3& a, const Vector3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

}  // namespace

orv::ChannelParam PositionedChannelParam(const PlayParam& params, const Vector3& position,
                                         bool isMono, float roomSize, float lowPassCoef) {
  orv::ChannelParam p;
  p.gain = params.volume;
  p.speed = params.speed;
  p.referenceDistance = params.referenceDistance;
  p.sourcePosition = position;
  p.lowPassCoef = lowPassCoef;
  const float d2 = position.x * position.x + position.y * position.y + position.z * position.z;
  if (isMono) {
    p.isSpatialized = true;
    p.reverbGain = params.volume;
  } else {
    const float a = d2 / params.referenceDistance;
    const float g = std::sqrt(a < 1.0f ? 1.0f : 1.0f / a);
    p.gain = g * params.volume;
    p.reverbGain = std::sqrt(g) * params.volume;
  }
  const float r = roomSize * 1.5f;
  if (d2 > r * r) p.reverbGain *= 1.0f / std::sqrt(d2 / (r * r));
  if (std::isnan(p.gain)) p.gain = 0.0f;
  if (std::isnan(p.reverbGain)) p.reverbGain = 0.0f;
  // The coefficient is the host's; outside [0, 1] the one-pole filter would
  // ring or grow, and a NaN one means no filter was asked for.
  p.lowPassCoef = std::isnan(p.lowPassCoef) ? 1.0f : std::fmin(std::fmax(p.lowPassCoef, 0.0f), 1.0f);
  return p;
}

Channel::Channel(const std::shared_ptr<Context>& owner, std::shared_ptr<orv::Buffer> buffer,
                 const PlayParam& playParams, const Vector3& playOrigin, bool relative)
    : context(owner),
      params(playParams),
      origin(playOrigin),
      isRelative(relative),
      isMono(buffer && buffer->GetNumChannels() == 1) {
  lastParam = CreateParam();
  std::lock_guard<std::mutex> lock(owner->mutex);
  const double delay = owner->EventDelay();
  engineChannel = owner->engine->CreateChannel(delay, std::move(buffer), lastParam);
  owner->LimitPolyphonics(delay);
}

orv::ChannelParam Channel::CreateParam() const {
  const std::shared_ptr<Context> owner = context.lock();
  if (!owner) return lastParam;
  Vector3 position = origin;
  float lowPassCoef = 1.0f;
  if (!isRelative) {
    const Vector3 d{origin.x - owner->eye.x, origin.y - owner->eye.y, origin.z - owner->eye.z};
    position = {Dot(d, owner->right), Dot(d, owner->up), Dot(d, owner->front)};
    // Without a callback the sound is unfiltered rather than a crash.
    if (owner->param.lowPassCallback) {
      const CallbackScope scope(owner.get());
      owner->param.lowPassCallback(&origin, &lowPassCoef, owner->param.lowPassUserData);
    }
  }
  return PositionedChannelParam(params, position, isMono, owner->reverbParam.roomSize,
                                lowPassCoef);
}

bool Channel::Update() {
  ORV_ASSERT(engineChannel, "Context");
  const std::shared_ptr<Context> owner = context.lock();
  if (!owner || !engineChannel->IsPlaying()) return false;
  const orv::ChannelParam p = CreateParam();
  const auto& a = p.sourcePosition;
  const auto& b = lastParam.sourcePosition;
  // A change of the low-pass coefficient alone is not worth an update.
  if (a.x == b.x && a.y == b.y && a.z == b.z && p.gain == lastParam.gain &&
      p.reverbGain == lastParam.reverbGain)
    return true;
  std::lock_guard<std::mutex> lock(owner->mutex);
  engineChannel->UpdateChannelParam(owner->EventDelay(), p);
  lastParam = p;
  return true;
}

void Channel::Terminate(double delay) { engineChannel->Stop(delay); }

void Channel::Terminate() {
  const std::shared_ptr<Context> owner = context.lock();
  if (!owner) return;
  std::lock_guard<std::mutex> lock(owner->mutex);
  engineChannel->Stop(owner->EventDelay());
}

}  // namespace orvbind
