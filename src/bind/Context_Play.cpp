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

// The option ranges the header promises.
constexpr double kMaxDopplerFactor = 10.0;
constexpr double kMinSpeedOfSound = 1.0;
constexpr double kMaxSpeedOfSound = 1e6;

}  // namespace

void Context::PlayLocal(std::shared_ptr<SoundData> buffer, const PlayParam& params) {
  const orv::ChannelParam p = LocalChannelParam(params);
  std::lock_guard<std::mutex> lock(mutex);
  engine->CreateChannel(EventDelay(), std::move(buffer), p);
}

void Context::PlayRelative(std::shared_ptr<SoundData> buffer, const Vector3& origin,
                           const PlayParam& params) {
  PlayPositioned(std::move(buffer), origin, params, true);
}

void Context::PlayAbsolute(std::shared_ptr<SoundData> buffer, const Vector3& origin,
                           const PlayParam& params) {
  PlayPositioned(std::move(buffer), origin, params, false);
}

void Context::PlayPositioned(std::shared_ptr<SoundData> buffer, const Vector3& origin,
                             const PlayParam& params, bool isRelative) {
  std::lock_guard<std::mutex> hostLock(hostMutex);
  AddChannel(std::make_shared<HostVoice>(shared_from_this(), std::move(buffer), params, origin,
                                         isRelative));
}

void Context::AddChannel(std::shared_ptr<HostVoice> channel) {
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
  std::lock_guard<std::mutex> hostLock(hostMutex);
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

// --- Version 2 -----------------------------------------------------------------

OrvVoice* Context::PlayVoice(std::shared_ptr<SoundData> buffer, const OrvVoiceParam& param) {
  if (param.space != ORV_SPACE_LOCAL && param.space != ORV_SPACE_LISTENER &&
      param.space != ORV_SPACE_WORLD)
    throw orv::Exception("Invalid voice space.");
  if (!std::isfinite(param.volume)) throw orv::Exception("NaN gain.");
  if (param.volume < 0.0f) throw orv::Exception("Invalid volume.");
  if (!(param.speed > 0.0f)) throw orv::Exception("Speed is not positive.");
  // A local voice has neither position nor velocity to check.
  if (param.space != ORV_SPACE_LOCAL && !IsFinite(param.position))
    throw orv::Exception("Invalid voice position.");
  if (param.space != ORV_SPACE_LOCAL && !IsFinite(param.velocity))
    throw orv::Exception("Invalid voice velocity.");
  if (param.startFrame < -1) throw orv::Exception("Invalid start frame.");
  ChannelSetup setup;
  setup.params = {param.volume, param.speed, param.referenceDistance};
  setup.origin = param.position;
  setup.velocity = param.velocity;
  setup.space = param.space;
  setup.isLooped = param.loop != 0;
  setup.isVoice = true;
  std::lock_guard<std::mutex> hostLock(hostMutex);
  auto channel =
      std::make_shared<HostVoice>(shared_from_this(), std::move(buffer), setup, param.startFrame);
  OrvVoice* handle = voices.Add(channel);
  AddChannel(std::move(channel));
  return handle;
}

HostVoice& Context::HeldVoice(OrvVoice* voice) {
  HostVoice* channel = voices.Find(voice);
  if (!channel) throw orv::Exception("Invalid voice handle.");
  return *channel;
}

void Context::MoveVoice(OrvVoice* voice, const Vector3& position, const Vector3* velocity) {
  if (!IsFinite(position)) throw orv::Exception("Invalid voice position.");
  if (velocity && !IsFinite(*velocity)) throw orv::Exception("Invalid voice velocity.");
  std::lock_guard<std::mutex> hostLock(hostMutex);
  HeldVoice(voice).Move(position, velocity);
}

void Context::SetVoiceVolume(OrvVoice* voice, float volume) {
  if (!std::isfinite(volume)) throw orv::Exception("NaN gain.");
  if (volume < 0.0f) throw orv::Exception("Invalid volume.");
  std::lock_guard<std::mutex> hostLock(hostMutex);
  HeldVoice(voice).SetVolume(volume);
}

void Context::SetVoiceSpeed(OrvVoice* voice, float speed) {
  if (!(speed > 0.0f)) throw orv::Exception("Speed is not positive.");
  std::lock_guard<std::mutex> hostLock(hostMutex);
  HeldVoice(voice).SetSpeed(speed);
}

void Context::StopVoice(OrvVoice* voice) {
  std::lock_guard<std::mutex> hostLock(hostMutex);
  HeldVoice(voice).Stop();
}

int Context::VoiceState(OrvVoice* voice) {
  std::lock_guard<std::mutex> hostLock(hostMutex);
  return HeldVoice(voice).State();
}

void Context::ReleaseVoice(OrvVoice* voice) {
  std::lock_guard<std::mutex> hostLock(hostMutex);
  const std::shared_ptr<HostVoice> channel = voices.Remove(voice);
  if (!channel) throw orv::Exception("Invalid voice handle.");
  // A released one-shot plays on to its end; nobody could stop a loop.
  if (channel->IsLooped()) channel->Stop();
}

void Context::SetListenerVelocity(const Vector3& velocity) {
  if (!IsFinite(velocity)) throw orv::Exception("Invalid listener velocity.");
  std::lock_guard<std::mutex> hostLock(hostMutex);
  listenerVelocity = velocity;
  Update();
}

void Context::LoadHrtf(const void* data, std::size_t size) {
  // Not under the context lock: validating and resampling a set takes long,
  // and the engine swaps it in at a block boundary itself.
  std::lock_guard<std::mutex> hostLock(hostMutex);
  engine->LoadHrtf(data, size);
}

void Context::SetOption(int option, double value) {
  if (std::isnan(value)) throw orv::Exception("Invalid option value.");
  std::lock_guard<std::mutex> hostLock(hostMutex);
  switch (option) {
    case ORV_OPTION_LOAD_CONTROL:
      isLoadControlled.store(value != 0.0);
      if (value == 0.0) currentMaxPolyphonics.store(param.maxPolyphonics);
      break;
    case ORV_OPTION_DOPPLER_FACTOR:
      dopplerFactor = std::clamp(value, 0.0, kMaxDopplerFactor);
      Update();
      break;
    case ORV_OPTION_SPEED_OF_SOUND:
      speedOfSound = std::clamp(value, kMinSpeedOfSound, kMaxSpeedOfSound);
      Update();
      break;
    case ORV_OPTION_OFFLINE:
      isOffline.store(value != 0.0);
      // A file render is the same at any thread count, bit for bit.
      engine->SetThreadIndependentMix(value != 0.0);
      if (value != 0.0) currentMaxPolyphonics.store(param.maxPolyphonics);
      break;
    default: throw orv::Exception("Invalid option: %d", option);
  }
}

}  // namespace orvbind
