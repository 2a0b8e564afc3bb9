#include "bind/Context_Channel.h"

#include <algorithm>
#include <cmath>

#include "bind/Context.h"
#include "bind/Context_Callback.h"
#include "channel/OrvChannelRenderer.h"
#include "common/OrvAssert.h"
#include "engine/OrvEngine.h"

namespace orvbind {
namespace {

float Dot(const Vector3& a, const Vector3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// A stop's fade: long enough not to click, short enough to feel immediate.
constexpr double kStopFadeSeconds = 0.005;

}  // namespace

orv::ChannelParam LocalChannelParam(const PlayParam& params) {
  orv::ChannelParam p;
  p.gain = params.volume;
  p.speed = params.speed;
  p.referenceDistance = params.referenceDistance;
  // Local sounds are neither positioned nor sent to the room.
  p.reverbGain = 0.0f;
  return p;
}

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
  // The room's send holds within half again the room's size (a source
  // just outside its walls still excites it), then falls off with distance.
  const float r = roomSize * 1.5f;
  if (d2 > r * r) p.reverbGain *= 1.0f / std::sqrt(d2 / (r * r));
  if (std::isnan(p.gain)) p.gain = 0.0f;
  if (std::isnan(p.reverbGain)) p.reverbGain = 0.0f;
  // The coefficient is the host's; outside [0, 1] the one-pole filter would
  // ring or grow, and a NaN one means no filter was asked for.
  p.lowPassCoef =
      std::isnan(p.lowPassCoef) ? 1.0f : std::fmin(std::fmax(p.lowPassCoef, 0.0f), 1.0f);
  return p;
}

HostVoice::HostVoice(const std::shared_ptr<Context>& owner, std::shared_ptr<orv::Buffer> buffer,
                     const PlayParam& playParams, const Vector3& playOrigin, bool relative)
    : context(owner),
      isMono(buffer && buffer->GetNumChannels() == 1),
      numFrames(buffer ? buffer->GetNumSamples() : 0) {
  setup.params = playParams;
  setup.origin = playOrigin;
  setup.space = relative ? ORV_SPACE_LISTENER : ORV_SPACE_WORLD;
  Create(owner, std::move(buffer), -1);
}

HostVoice::HostVoice(const std::shared_ptr<Context>& owner, std::shared_ptr<orv::Buffer> buffer,
                     const ChannelSetup& channelSetup, std::int64_t startFrame)
    : context(owner),
      setup(channelSetup),
      isMono(buffer && buffer->GetNumChannels() == 1),
      numFrames(buffer ? buffer->GetNumSamples() : 0) {
  Create(owner, std::move(buffer), startFrame);
}

void HostVoice::Create(const std::shared_ptr<Context>& owner, std::shared_ptr<orv::Buffer> buffer,
                       std::int64_t startFrame) {
  lastParam = CreateParam();
  std::lock_guard<std::mutex> lock(owner->mutex);
  const double now = owner->EventDelay();
  const double delay = startFrame < 0 ? now : owner->DelayUntil(startFrame);
  engineChannel = owner->engine->CreateChannel(delay, std::move(buffer), lastParam);
  owner->LimitPolyphonics(now);
}

orv::ChannelParam HostVoice::CreateParam() const {
  const std::shared_ptr<Context> owner = context.lock();
  if (!owner) return lastParam;
  orv::ChannelParam p;
  if (setup.space == ORV_SPACE_LOCAL) {
    p = LocalChannelParam(setup.params);
  } else {
    const bool isRelative = setup.space == ORV_SPACE_LISTENER;
    Vector3 position = setup.origin;
    float lowPassCoef = 1.0f;
    // Doppler in the space the velocities are given in: a listener-space
    // velocity is already relative to the listener.
    Vector3 toListener{-position.x, -position.y, -position.z};
    Vector3 listenerVelocity{0.0f, 0.0f, 0.0f};
    if (!isRelative) {
      const Vector3 d{setup.origin.x - owner->eye.x, setup.origin.y - owner->eye.y,
                      setup.origin.z - owner->eye.z};
      position = {Dot(d, owner->right), Dot(d, owner->up), Dot(d, owner->front)};
      toListener = {-d.x, -d.y, -d.z};
      listenerVelocity = owner->listenerVelocity;
      // Without a callback the sound is unfiltered rather than a crash.
      if (owner->param.lowPassCallback) {
        const CallbackScope scope(owner.get());
        owner->param.lowPassCallback(&setup.origin, &lowPassCoef, owner->param.lowPassUserData);
      }
    }
    p = PositionedChannelParam(setup.params, position, isMono, owner->reverbParam.roomSize,
                               lowPassCoef);
    p.speed *= owner->Doppler(toListener, setup.velocity, listenerVelocity);
  }
  if (setup.isLooped) {
    p.isLooped = true;
    p.loopStart = 0;
    p.loopEnd = numFrames;
  }
  p.fadeOutFrames = fadeOutFrames;
  p.shouldGlideGains = setup.isVoice;
  return p;
}

bool HostVoice::Update() { return Update(0.0, true); }

bool HostVoice::Update(double delay, bool useEventDelay) {
  ORV_ASSERT(engineChannel, "Context");
  const std::shared_ptr<Context> owner = context.lock();
  if (!owner || isCut.load() || !engineChannel->IsPlaying()) return false;
  const orv::ChannelParam p = CreateParam();
  const auto& a = p.sourcePosition;
  const auto& b = lastParam.sourcePosition;
  // A change of the low-pass coefficient alone is not worth an update.
  if (a.x == b.x && a.y == b.y && a.z == b.z && p.gain == lastParam.gain &&
      p.reverbGain == lastParam.reverbGain && p.speed == lastParam.speed &&
      p.fadeOutFrames == lastParam.fadeOutFrames)
    return true;
  std::lock_guard<std::mutex> lock(owner->mutex);
  engineChannel->UpdateChannelParam(useEventDelay ? owner->EventDelay() : delay, p);
  lastParam = p;
  return true;
}

void HostVoice::Terminate(double delay) {
  isCut.store(true);
  engineChannel->Stop(delay);
}

void HostVoice::Terminate() {
  const std::shared_ptr<Context> owner = context.lock();
  if (!owner) return;
  std::lock_guard<std::mutex> lock(owner->mutex);
  engineChannel->Stop(owner->EventDelay());
}

void HostVoice::Move(const Vector3& newOrigin, const Vector3* newVelocity) {
  if (setup.space == ORV_SPACE_LOCAL) return;
  setup.origin = newOrigin;
  if (newVelocity) setup.velocity = *newVelocity;
  Update(0.0, false);
}

void HostVoice::SetVolume(float volume) {
  setup.params.volume = volume;
  Update(0.0, false);
}

void HostVoice::SetSpeed(float speed) {
  setup.params.speed = speed;
  Update(0.0, false);
}

void HostVoice::Stop() {
  if (fadeOutFrames > 0 || isCut.load()) return;
  const std::shared_ptr<Context> owner = context.lock();
  if (!owner) return;
  if (!engineChannel->HasStarted()) {
    // Nothing sounds yet, so nothing can click: it never starts.
    isCut.store(true);
    std::lock_guard<std::mutex> lock(owner->mutex);
    engineChannel->Stop(0.0);
    return;
  }
  fadeOutFrames =
      std::max(1, static_cast<int>(std::lround(kStopFadeSeconds * owner->param.samplingRate)));
  Update(0.0, false);
}

int HostVoice::State() const {
  if (isCut.load() || !engineChannel->IsPlaying()) return ORV_VOICE_ENDED;
  return engineChannel->HasStarted() ? ORV_VOICE_PLAYING : ORV_VOICE_WAITING;
}

}  // namespace orvbind
