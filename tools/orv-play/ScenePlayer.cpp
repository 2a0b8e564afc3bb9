#include "ScenePlayer.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "AirAbsorption.h"
#include "Keyframes.h"
#include "LogQueue.h"
#include "ScenePlays.h"
#include "Terminal.h"
#include "UserError.h"

namespace orvplay {

using namespace orvrender;

namespace {

// How far ahead of the frames played the sounds are sent: more than the
// block the library may have rendered ahead, so that each starts on its frame.
constexpr double kSendAhead = 0.05;  // seconds, besides two blocks

// Frees the buffers before the context goes.
class Buffers {
 public:
  explicit Buffers(OrvHost& host) : host(host) {}
  ~Buffers() {
    for (Buffer* b : handles) host.FreeBuffer(b);
  }
  Buffers(const Buffers&) = delete;
  Buffers& operator=(const Buffers&) = delete;
  std::vector<Buffer*> handles;

 private:
  OrvHost& host;
};

std::string AtTime(double seconds) {
  char text[48];
  std::snprintf(text, sizeof text, " at %.3f s", seconds);
  return text;
}

void ShowStatus(double time, double duration, std::int64_t underruns, bool isPaused) {
  std::fprintf(stderr, "\r  %s %7.1f / %.1f s   underruns %lld   [space] %s  [q] quit ",
               isPaused ? "Paused " : "Playing", time, duration, static_cast<long long>(underruns),
               isPaused ? "resume" : "pause ");
  std::fflush(stderr);
}

void ClearStatus() {
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
}

}  // namespace

PlayReport PlayScene(const Scene& scene, const std::vector<SoundData>& sounds,
                     const OrvLibrary& library, const PortAudio& portAudio,
                     const PlaySettings& settings) {
  PlayReport report;
  const double rate = scene.sampleRate;
  report.sampleRate = rate;
  const int block = settings.block;
  const std::int64_t totalBlocks =
      std::max<std::int64_t>(1, std::llround(std::ceil(settings.duration * rate / block)));
  ScenePlays plays(scene, std::max<std::int64_t>(1, std::llround(settings.duration * rate)),
                   settings.duration);
  const std::int64_t ahead = 2 * block + std::llround(kSendAhead * rate);

  LogQueue log;
  AirAbsorption air(rate, scene.airAbsorption);
  OrvHost host(library, SceneInitParam(scene, rate, air, &LogQueue::Callback, &log));

  Buffers buffers(host);
  for (std::size_t i = 0; i < sounds.size(); ++i)
    buffers.handles.push_back(
        host.CreateBuffer(sounds[i].Param(), scene.file + ": " + scene.sounds[i].path));

  StreamState state;
  state.render = host.Table().Render;
  state.context = host.Table().context;
  state.totalFrames = totalBlocks * block;
  // Declared after the host and the buffers: it stops calling Render before they go.
  OutputStream stream(portAudio, settings.device, rate, block, settings.latency, state);
  report.latency = stream.Latency();

  const ListenerTrack listener(scene.listener);
  const RoomTrack room(scene.room);
  bool hasSent = false;
  Vector3 sentEye{}, sentFront{}, sentUp{};
  ReverbParam sentRoom{};
  const auto update = [&](double time) {
    const ListenerPose pose = listener.At(time);
    const Vector3 eye = ToVector3(pose.position), front = ToVector3(pose.front),
                  up = ToVector3(pose.up);
    const ReverbParam roomNow = room.At(time);
    if (hasSent && !std::memcmp(&eye, &sentEye, sizeof eye) &&
        !std::memcmp(&front, &sentFront, sizeof front) && !std::memcmp(&up, &sentUp, sizeof up) &&
        !std::memcmp(&roomNow, &sentRoom, sizeof roomNow))
      return;
    // The low-pass callback runs inside Respatialize and MoveVoice: it must
    // see the new listener.
    air.SetListener(pose.position);
    host.Respatialize(eye, front, up, roomNow, scene.file + ": listener and room" + AtTime(time));
    sentEye = eye, sentFront = front, sentUp = up, sentRoom = roomNow;
    hasSent = true;
  };
  // The frame clock of the library is the count of frames the callback has
  // rendered: the scene's frame. A stop applies from the first block the
  // library has not started, up to a block after it is sent.
  const auto startPlays = [&](std::int64_t frame) {
    plays.Update(host, frame, block);
    plays.Start(host, buffers.handles, frame + ahead);
  };

  // Half a block, so that no block passes unseen; at least a millisecond.
  const auto poll =
      std::chrono::microseconds(std::max<std::int64_t>(1000, std::llround(0.5e6 * block / rate)));
  const auto statusPeriod = std::chrono::milliseconds(200);
  const bool isInteractive = settings.terminal && settings.terminal->IsInteractive();
  // The status line only where a person reads it, not into a redirected log.
  const bool shouldShowStatus = isInteractive && isatty(STDERR_FILENO);
  const double shownDuration = static_cast<double>(state.totalFrames) / rate;

  update(0.0);
  startPlays(0);
  const auto start = std::chrono::steady_clock::now();
  auto lastStatus = start - statusPeriod;
  stream.Start();
  bool isPaused = false;
  for (;;) {
    const std::int64_t frame = state.frames.load(std::memory_order_acquire);
    const double time = static_cast<double>(frame) / rate;
    update(time);
    startPlays(frame);
    log.DrainInto(report.messages);
    if (CaughtSignal()) {
      report.wasQuit = true;
      break;
    }
    if (isInteractive) {
      const int key = settings.terminal->ReadKey();
      if (key == 'q' || key == 'Q' || key == 27) {
        report.wasQuit = true;
        break;
      }
      if (key == ' ' || key == 'p' || key == 'P') {
        isPaused = !isPaused;
        if (isPaused)
          stream.Stop();
        else
          stream.Start();
        lastStatus = start - statusPeriod;
      }
      const auto now = std::chrono::steady_clock::now();
      if (shouldShowStatus && now - lastStatus >= statusPeriod) {
        ShowStatus(time, shownDuration, state.underruns.load(std::memory_order_relaxed), isPaused);
        lastStatus = now;
      }
    }
    if (!isPaused && !stream.IsActive()) break;
    std::this_thread::sleep_for(poll);
  }
  if (report.wasQuit)
    stream.Abort();
  else
    stream.Stop();
  if (shouldShowStatus) ClearStatus();
  report.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  report.frames = state.frames.load(std::memory_order_acquire);
  report.underruns = state.underruns.load(std::memory_order_relaxed);
  report.plays = plays.LocalVoices() + plays.RelativeVoices() + plays.WorldVoices();
  report.playsAfterEnd = plays.PlaysAfterEnd();
  log.DrainInto(report.messages);
  report.droppedMessages = log.Dropped();
  return report;
}

}  // namespace orvplay
