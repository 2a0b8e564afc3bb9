#include "SceneRenderer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "AirAbsorption.h"
#include "Keyframes.h"
#include "OutputFile.h"
#include "UserError.h"

namespace orvrender {

namespace {

// One play of an event: the event itself or one of its repeats.
struct Play {
  std::int64_t frame;  // where its time falls in the output
  std::size_t event;
  std::int64_t index;  // 0: the event itself; n: its n-th repeat
};

// A play whose handle the renderer keeps: it moves, changes, loops or stops.
struct HeldVoice {
  OrvVoice* voice;
  const EventDefinition* event;
  Vec3 offset;               // its repeat's step
  std::int64_t startFrame;
  std::int64_t stopBlock;    // the block its stop applies from; -1: none
  Vector3 position, velocity;  // as last sent
  float volume, speed;
  std::string where;
};

bool IsHeld(const EventDefinition& e) {
  return e.isLooping || e.stop || !e.positions.empty() || !e.volumes.empty() ||
         !e.speeds.empty();
}

std::vector<Play> ExpandEvents(const Scene& scene, std::int64_t totalFrames, double duration,
                               std::int64_t& playsAfterEnd) {
  std::vector<Play> plays;
  playsAfterEnd = 0;
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
  return plays;
}

std::string AtTime(double seconds) {
  char text[48];
  std::snprintf(text, sizeof text, " at %.3f s", seconds);
  return text;
}

bool SameVector(const Vector3& a, const Vector3& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool SameRoom(const ReverbParam& a, const ReverbParam& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Frees the buffers before the context goes.
class Buffers {
 public:
  explicit Buffers(OrvHost& host) : host(host) {}
  ~Buffers() {
    for (Buffer* b : handles) host.FreeBuffer(b);
  }
  std::vector<Buffer*> handles;

 private:
  OrvHost& host;
};

// The voice's keyframes at `age` seconds after its start, sent where they
// changed since last time.
void UpdateVoice(OrvHost& host, HeldVoice& h, double age) {
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

}  // namespace

RenderReport RenderScene(const Scene& scene, const std::vector<SoundData>& sounds,
                         const OrvLibrary& library, const RenderTarget& target) {
  RenderReport report;
  report.sampleRate = scene.sampleRate;
  const double rate = scene.sampleRate;
  const int blockSize = scene.blockSize;
  const std::int64_t totalFrames = std::max<std::int64_t>(1, std::llround(target.duration * rate));
  const std::int64_t numBlocks = (totalFrames + blockSize - 1) / blockSize;
  const std::vector<Play> plays =
      ExpandEvents(scene, totalFrames, target.duration, report.playsAfterEnd);

  OutputFile output(target.outputPath, target.format, static_cast<int>(rate), 2);
  report.formatName = output.FormatName();

  AirAbsorption air(rate, scene.airAbsorption);
  InitParam init{};
  init.samplingRate = rate;
  init.lowPassCallback = &AirAbsorption::Callback;
  init.lowPassUserData = &air;
  init.numThreads = scene.threads;
  init.maxPolyphonics = scene.polyphony;
  init.logCallback = target.log ? &LogCollector::Callback : nullptr;
  init.logUserData = target.log;
  OrvHost host(library, init);
  // Offline: nothing is rendered ahead, so every call below applies from the
  // next block's first frame, and the load control stays out of the mix.
  host.SetOption(ORV_OPTION_OFFLINE, 1.0, "starting the library");

  Buffers buffers(host);
  for (std::size_t i = 0; i < sounds.size(); ++i)
    buffers.handles.push_back(
        host.CreateBuffer(sounds[i].Param(), scene.file + ": " + scene.sounds[i].path));

  const ListenerTrack listener(scene.listener);
  const RoomTrack room(scene.room);
  std::vector<float> block(2 * static_cast<std::size_t>(blockSize));
  Vector3 sentEye{}, sentFront{}, sentUp{};
  ReverbParam sentRoom{};
  std::vector<HeldVoice> held;

  const auto start = std::chrono::steady_clock::now();
  std::size_t nextPlay = 0;
  for (std::int64_t k = 0; k < numBlocks; ++k) {
    if (target.isInterrupted && target.isInterrupted->load())
      throw UserError("interrupted; nothing was written to '" + target.outputPath + "'");
    const std::int64_t blockStart = k * blockSize;
    const double time = static_cast<double>(blockStart) / rate;
    const ListenerPose pose = listener.At(time);
    const Vector3 eye = ToVector3(pose.position), front = ToVector3(pose.front),
                  up = ToVector3(pose.up);
    const ReverbParam roomNow = room.At(time);
    // The low-pass callback runs inside Respatialize and MoveVoice: it must
    // see the listener of this block.
    air.SetListener(pose.position);
    if (k == 0 || !SameVector(eye, sentEye) || !SameVector(front, sentFront) ||
        !SameVector(up, sentUp) || !SameRoom(roomNow, sentRoom)) {
      host.Respatialize(eye, front, up, roomNow, scene.file + ": listener and room" + AtTime(time));
      sentEye = eye, sentFront = front, sentUp = up, sentRoom = roomNow;
      ++report.respatializeCalls;
    }

    for (std::size_t i = 0; i < held.size();) {
      HeldVoice& h = held[i];
      const bool isStopped = h.stopBlock >= 0 && h.stopBlock <= k;
      if (isStopped) host.StopVoice(h.voice, h.where);
      if (isStopped || (!h.event->isLooping && host.HasVoiceEnded(h.voice, h.where))) {
        host.ReleaseVoice(h.voice, h.where);
        held[i] = std::move(held.back());
        held.pop_back();
        continue;
      }
      UpdateVoice(host, h, static_cast<double>(blockStart - h.startFrame) / rate);
      ++i;
    }

    for (; nextPlay < plays.size() && plays[nextPlay].frame / blockSize == k; ++nextPlay) {
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
      param.position = ToVector3(
          (e.positions.empty() ? e.position : PositionAt(e.positions, 0.0)) + offset);
      param.velocity = ToVector3(VelocityAt(e.positions, 0.0));
      param.startFrame = p.frame;
      switch (e.mode) {
        case PlayMode::Local:
          param.space = ORV_SPACE_LOCAL;
          ++report.localVoices;
          break;
        case PlayMode::Relative:
          param.space = ORV_SPACE_LISTENER;
          ++report.relativeVoices;
          break;
        case PlayMode::World:
          param.space = ORV_SPACE_WORLD;
          ++report.worldVoices;
          break;
      }
      OrvVoice* voice = host.Play(buffers.handles[e.sound], param, where);
      if (!IsHeld(e)) {
        host.ReleaseVoice(voice, where);  // a one-shot plays on to its end
        continue;
      }
      std::int64_t stopBlock = -1;
      if (e.stop) {
        // A stop applies from a block's first frame: the nearest one.
        const double stopFrame = std::floor(*e.stop * rate);
        stopBlock = std::llround(stopFrame / blockSize);
      }
      held.push_back({voice, &e, offset, p.frame, stopBlock, param.position, param.velocity,
                      param.volume, param.speed, where});
    }

    host.Render(block.data(), blockSize);
    const std::int64_t frames = std::min<std::int64_t>(blockSize, totalFrames - blockStart);
    report.levels.Add(block.data(), frames);
    output.Write(block.data(), frames);
    report.frames += frames;
    if (target.progress) target.progress->Update(static_cast<double>(report.frames) / rate);
  }
  report.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  output.Commit();
  return report;
}

}  // namespace orvrender
