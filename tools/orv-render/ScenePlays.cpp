#include "ScenePlays.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "Keyframes.h"
#include "UserError.h"

namespace orvrender {

namespace {

bool IsHeld(const EventDefinition& e) {
  return e.isLooping || e.stop || !e.positions.empty() || !e.volumes.empty() || !e.speeds.empty();
}

bool SameVector(const Vector3& a, const Vector3& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string AtTime(double seconds) {
  char text[48];
  std::snprintf(text, sizeof text, " at %.3f s", seconds);
  return text;
}

}  // namespace

ScenePlays::ScenePlays(const Scene& scene, std::int64_t totalFrames, double duration)
    : scene(scene) {
  for (std::size_t e = 0; e < scene.events.size(); ++e) {
    const EventDefinition& event = scene.events[e];
    for (std::int64_t i = 0; event.isUntilEnd || i < event.count; ++i) {
      const double time = event.time + static_cast<double>(i) * event.interval;
      if (time >= duration) {
        if (!event.isUntilEnd) playsAfterEnd += event.count - i;
        break;
      }
      if (event.stop && time >= *event.stop) break;  // stopped before it starts
      // LoadScene has counted the plays; this guards a scene built otherwise.
      if (plays.size() == static_cast<std::size_t>(kMaxPlays))
        throw UserError(scene.file + ": " + event.path + ": the scene asks for more than " +
                        std::to_string(kMaxPlays) + " plays; is a repeat interval too short?");
      const std::int64_t frame =
          std::min(totalFrames - 1, static_cast<std::int64_t>(std::floor(time * scene.sampleRate)));
      plays.push_back({frame, e, i});
    }
  }
  std::stable_sort(plays.begin(), plays.end(),
                   [](const Play& a, const Play& b) { return a.frame < b.frame; });
}

void ScenePlays::UpdateVoice(OrvHost& host, HeldVoice& h, double age) {
  const EventDefinition& e = *h.event;
  if (!e.positions.empty()) {
    const Vector3 position = ToVector3(PositionAt(e.positions, age) + h.offset);
    const Vector3 velocity = ToVector3(VelocityAt(e.positions, age));
    if (!SameVector(position, h.position) || !SameVector(velocity, h.velocity)) {
      host.MoveVoice(h.voice, position, velocity, h.where);
      h.position = position, h.velocity = velocity;
    }
  }
  if (!e.volumes.empty()) {
    const float volume = static_cast<float>(ValueAt(e.volumes, age));
    if (volume != h.volume) host.SetVoiceVolume(h.voice, volume, h.where);
    h.volume = volume;
  }
  if (!e.speeds.empty()) {
    const float speed = static_cast<float>(ValueAt(e.speeds, age));
    if (speed != h.speed) host.SetVoiceSpeed(h.voice, speed, h.where);
    h.speed = speed;
  }
}

void ScenePlays::Update(OrvHost& host, std::int64_t frame, std::int64_t stopLead) {
  for (std::size_t i = 0; i < held.size();) {
    HeldVoice& h = held[i];
    const bool isStopped = h.stopFrame >= 0 && h.stopFrame <= frame + stopLead;
    if (isStopped) host.StopVoice(h.voice, h.where);
    if (isStopped || (!h.event->isLooping && host.HasVoiceEnded(h.voice, h.where))) {
      host.ReleaseVoice(h.voice, h.where);
      held[i] = std::move(held.back());
      held.pop_back();
      continue;
    }
    // A voice sent ahead has no age yet: it waits at its first keys.
    if (frame > h.startFrame)
      UpdateVoice(host, h, static_cast<double>(frame - h.startFrame) / scene.sampleRate);
    ++i;
  }
}

void ScenePlays::Start(OrvHost& host, const std::vector<Buffer*>& buffers, std::int64_t until) {
  for (; nextPlay < plays.size() && plays[nextPlay].frame < until; ++nextPlay) {
    const Play& p = plays[nextPlay];
    const EventDefinition& e = scene.events[p.event];
    const double when = e.time + static_cast<double>(p.index) * e.interval;
    const std::string where = scene.file + ": " + e.path +
                              (p.index > 0 ? " (repeat " + std::to_string(p.index) + ")" : "") +
                              AtTime(when);
    const Vec3 offset = e.step * static_cast<double>(p.index);
    OrvVoiceParam param{};
    param.volume = e.volumes.empty() ? e.volume : static_cast<float>(ValueAt(e.volumes, 0.0));
    param.speed = e.speeds.empty() ? e.speed : static_cast<float>(ValueAt(e.speeds, 0.0));
    param.referenceDistance = e.referenceDistance;
    param.loop = e.isLooping ? 1 : 0;
    param.position =
        ToVector3((e.positions.empty() ? e.position : PositionAt(e.positions, 0.0)) + offset);
    param.velocity = ToVector3(VelocityAt(e.positions, 0.0));
    param.startFrame = p.frame;
    switch (e.mode) {
      case PlayMode::Local:
        param.space = ORV_SPACE_LOCAL;
        ++localVoices;
        break;
      case PlayMode::Relative:
        param.space = ORV_SPACE_LISTENER;
        ++relativeVoices;
        break;
      case PlayMode::World:
        param.space = ORV_SPACE_WORLD;
        ++worldVoices;
        break;
    }
    OrvVoice* voice = host.Play(buffers[e.sound], param, where);
    if (!IsHeld(e)) {
      host.ReleaseVoice(voice, where);  // a one-shot plays on to its end
      continue;
    }
    const std::int64_t stopFrame =
        e.stop ? static_cast<std::int64_t>(std::floor(*e.stop * scene.sampleRate)) : -1;
    held.push_back({voice, &e, offset, p.frame, stopFrame, param.position, param.velocity,
                    param.volume, param.speed, where});
  }
}

InitParam SceneInitParam(const Scene& scene, double rate, AirAbsorption& air,
                         OrvLogCallback logCallback, void* logUserData) {
  InitParam init{};
  init.samplingRate = rate;
  init.lowPassCallback = &AirAbsorption::Callback;
  init.lowPassUserData = &air;
  init.numThreads = scene.threads;
  init.maxPolyphonics = scene.polyphony;
  init.logCallback = logCallback;
  init.logUserData = logUserData;
  return init;
}

}  // namespace orvrender
