#include "SceneRenderer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

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

// The library's render thread starts its next block (and the block a request
// joins) when a Render call returns. A play sent before that thread has woken
// joins the block already under way and sounds one block early; waiting this
// long after Render returned makes that rare. The library counts the wait
// into the play's offset, so it is kept short.
constexpr auto kRenderThreadWakeUp = std::chrono::microseconds(100);

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

  Buffers buffers(host);
  for (std::size_t i = 0; i < sounds.size(); ++i)
    buffers.handles.push_back(
        host.CreateBuffer(sounds[i].Param(), scene.file + ": " + scene.sounds[i].path));

  const ListenerTrack listener(scene.listener);
  const RoomTrack room(scene.room);
  std::vector<float> block(2 * static_cast<std::size_t>(blockSize));
  Vector3 sentEye{}, sentFront{}, sentUp{};
  ReverbParam sentRoom{};

  const auto start = std::chrono::steady_clock::now();
  // The library renders one block ahead. This first block was started before
  // any scene state reached it; discarding it puts the pipeline in its steady
  // state, where what is sent before Render call k is heard in call k + 1.
  host.Render(block.data(), blockSize);
  auto lastRender = std::chrono::steady_clock::now();

  std::size_t nextPlay = 0;
  for (std::int64_t k = 0; k <= numBlocks; ++k) {
    if (target.isInterrupted && target.isInterrupted->load())
      throw UserError("interrupted; nothing was written to '" + target.outputPath + "'");
    if (k < numBlocks) {
      const double time = static_cast<double>(k * blockSize) / rate;
      const ListenerPose pose = listener.At(time);
      const Vector3 eye = ToVector3(pose.position), front = ToVector3(pose.front),
                    up = ToVector3(pose.up);
      const ReverbParam roomNow = room.At(time);
      if (k == 0 || !SameVector(eye, sentEye) || !SameVector(front, sentFront) ||
          !SameVector(up, sentUp) || !SameRoom(roomNow, sentRoom)) {
        // The low-pass callback runs inside Respatialize: it must see the new listener.
        air.SetListener(pose.position);
        host.Respatialize(eye, front, up, roomNow,
                          scene.file + ": listener and room" + AtTime(time));
        sentEye = eye, sentFront = front, sentUp = up, sentRoom = roomNow;
        ++report.respatializeCalls;
      }
      if (nextPlay < plays.size() && plays[nextPlay].frame / blockSize == k)
        std::this_thread::sleep_until(lastRender + kRenderThreadWakeUp);
      for (; nextPlay < plays.size() && plays[nextPlay].frame / blockSize == k; ++nextPlay) {
        const Play& p = plays[nextPlay];
        const EventDefinition& e = scene.events[p.event];
        const double when = e.time + static_cast<double>(p.index) * e.interval;
        const std::string where = scene.file + ": " + e.path +
                                  (p.index > 0 ? " (repeat " + std::to_string(p.index) + ")" : "") +
                                  AtTime(when);
        const PlayParam param{e.volume, e.speed, e.referenceDistance};
        const Vector3 position = ToVector3(e.position + e.step * static_cast<double>(p.index));
        Buffer* buffer = buffers.handles[e.sound];
        switch (e.mode) {
          case PlayMode::Local:
            host.PlayLocal(buffer, param, where);
            ++report.localVoices;
            break;
          case PlayMode::Relative:
            host.PlayRelative(buffer, position, param, where);
            ++report.relativeVoices;
            break;
          case PlayMode::World:
            host.PlayAbsolute(buffer, position, param, where);
            ++report.worldVoices;
            break;
        }
      }
    }
    host.Render(block.data(), blockSize);
    lastRender = std::chrono::steady_clock::now();
    if (k >= 1) {
      const std::int64_t frames =
          std::min<std::int64_t>(blockSize, totalFrames - (k - 1) * blockSize);
      report.levels.Add(block.data(), frames);
      output.Write(block.data(), frames);
      report.frames += frames;
      if (target.progress) target.progress->Update(static_cast<double>(report.frames) / rate);
    }
  }
  report.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  output.Commit();
  return report;
}

}  // namespace orvrender
