// The object behind one initialized function table. Owns the engine and a
// background render thread that renders one block ahead of the host into a
// pipe; the host's Render only takes the finished block out, so the host's
// audio path does a copy and a wait, never the mixing work.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bind/Context_Pipe.h"
#include "engine/OrvEngine_Param.h"
#include "orv/orv.h"

namespace orv {
class Engine;
}

namespace orvbind {

class OrvBuffer;
class Channel;

// Seconds on the steady clock, truncated to whole microseconds.
double MonotonicTime();

class Context : public std::enable_shared_from_this<Context> {
 public:
  // Builds the engine and starts the render thread. Throws "Invalid sampling
  // rate: %f" outside ORV_MIN_SAMPLING_RATE .. ORV_MAX_SAMPLING_RATE and
  // "Invalid thread count: %d" outside 1 .. ORV_MAX_THREADS, else what the
  // engine throws.
  static std::shared_ptr<Context> Create(const InitParam& param);
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // The host's read: fills stream with numFrames interleaved stereo frames.
  // Throws "Invalid frame count: %d" outside 1 .. ORV_MAX_RENDER_FRAMES.
  void Render(float* stream, int numFrames);

  // Host-side play requests and the listener. Respatialize throws "Invalid
  // listener orientation." for a non-finite eye, front or up, a zero front or
  // up, or front parallel to up, and then changes nothing: the last good
  // listener and room stay.
  void PlayLocal(std::shared_ptr<OrvBuffer> buffer, const PlayParam& params);
  void PlayRelative(std::shared_ptr<OrvBuffer> buffer, const Vector3& origin,
                    const PlayParam& params);
  void PlayAbsolute(std::shared_ptr<OrvBuffer> buffer, const Vector3& origin,
                    const PlayParam& params);
  void Respatialize(const Vector3& eye, const Vector3& front, const Vector3& up,
                    const ReverbParam& reverb);

  // Refreshes every host channel and drops the finished ones.
  void Update();
  // Stops the oldest host channels beyond the polyphony limit. Context lock held.
  void LimitPolyphonics(double delay);
  // Samples since the render thread started its current block, clamped to
  // 0 .. 10000. Context lock held.
  double EventDelay() const;
  // Formats into 2048 bytes and passes the text to the host's log callback.
  void DebugLog(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // --- Shared with the host channels -------------------------------------------
  std::shared_ptr<orv::Engine> engine;
  InitParam param;
  orv::EngineParam engineParam;
  // Listener state, written by Respatialize. Until then: at the origin,
  // looking down +z with +y up, no room reflections beyond the defaults.
  ReverbParam reverbParam{};
  Vector3 eye{0.0f, 0.0f, 0.0f};
  Vector3 front{0.0f, 0.0f, 1.0f};
  Vector3 up{0.0f, 1.0f, 0.0f};
  Vector3 right{-1.0f, 0.0f, 0.0f};
  std::mutex mutex;  // the context lock
  double lastRenderTime = 0.0;

 private:
  explicit Context(const InitParam& param);
  void Start();
  void RenderThread();
  void RenderBlock(std::size_t numFrames);
  void ControlLoad(double elapsed, std::size_t numFrames);
  void SetChannels(std::deque<std::shared_ptr<Channel>> newChannels);
  void PlayPositioned(std::shared_ptr<OrvBuffer> buffer, const Vector3& origin,
                      const PlayParam& params, bool isRelative);

  std::atomic<bool> running{true};
  std::shared_ptr<std::thread> thread;
  Pipe<float> pipe;
  std::atomic<std::int64_t> requestedFrames{0};
  std::vector<float> renderBuffer;
  std::atomic<int> currentMaxPolyphonics;
  std::deque<std::shared_ptr<Channel>> channels;  // oldest first
  // The render thread reads only this count, never the queue itself.
  std::atomic<std::size_t> activeChannels{0};
};

}  // namespace orvbind
