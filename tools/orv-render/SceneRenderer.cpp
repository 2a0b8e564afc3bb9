#include "SceneRenderer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "AirAbsorption.h"
#include "Keyframes.h"
#include "OutputFile.h"
#include "ScenePlays.h"
#include "UserError.h"

namespace orvrender {

namespace {

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
  ScenePlays plays(scene, totalFrames, target.duration);

  OutputFile output(target.outputPath, target.format, static_cast<int>(rate), 2);
  report.formatName = output.FormatName();

  AirAbsorption air(rate, scene.airAbsorption);
  OrvHost host(library, SceneInitParam(scene, rate, air,
                                       target.log ? &LogCollector::Callback : nullptr, target.log));
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

  const auto start = std::chrono::steady_clock::now();
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

    // Stops fall on the nearest block boundary.
    plays.Update(host, blockStart, blockSize / 2);
    plays.Start(host, buffers.handles, blockStart + blockSize);

    host.Render(block.data(), blockSize);
    const std::int64_t frames = std::min<std::int64_t>(blockSize, totalFrames - blockStart);
    report.levels.Add(block.data(), frames);
    output.Write(block.data(), frames);
    report.frames += frames;
    if (target.progress) target.progress->Update(static_cast<double>(report.frames) / rate);
  }
  report.localVoices = plays.LocalVoices();
  report.relativeVoices = plays.RelativeVoices();
  report.worldVoices = plays.WorldVoices();
  report.playsAfterEnd = plays.PlaysAfterEnd();
  report.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  output.Commit();
  return report;
}

}  // namespace orvrender
