// The object behind one initialized function table. Owns the engine and a
// background render thread that renders one block ahead of the host into a
// pipe; the host's Render only takes the finished block out, so the host's
// audio path does a copy and a wait, never the mixing work. In offline mode
// the render thread renders each block only when the host asks for it.
//
// Locks, always taken in this order: hostMutex (host threads only: the
// channel queue, the voice handles, the listener), then mutex (the context
// lock, shared with the render thread at each block start, held briefly).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bind/Context_Pipe.h"
#include "bind/Context_Voice.h"
#include "common/OrvGate.h"
#include "engine/OrvEngine_Param.h"
#include "orv/orv.h"

namespace orv {
class Engine;
}

namespace orvbind {

class SoundData;
class HostVoice;

// Seconds on the steady clock, truncated to whole microseconds.
double MonotonicTime();

class Context : public std::enable_shared_from_this<Context> {
 public:
  // Builds the engine and starts the render thread. Throws "Invalid sampling
  // rate: %f" outside ORV_MIN_SAMPLING_RATE .. ORV_MAX_SAMPLING_RATE and
  // "Invalid thread count: %d" outside 1 .. ORV_MAX_THREADS, else what the
  // engine throws. A version 2 context renders nothing before the host's
  // first Render and never discards a rendered block, so that output frames
  // and engine frames stay one count.
  static std::shared_ptr<Context> Create(const InitParam& param, int version = 1);
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
  void PlayLocal(std::shared_ptr<SoundData> buffer, const PlayParam& params);
  void PlayRelative(std::shared_ptr<SoundData> buffer, const Vector3& origin,
                    const PlayParam& params);
  void PlayAbsolute(std::shared_ptr<SoundData> buffer, const Vector3& origin,
                    const PlayParam& params);
  void Respatialize(const Vector3& eye, const Vector3& front, const Vector3& up,
                    const ReverbParam& reverb);

  // Version 2 (Context_Play.cpp). Each throws Exception with the host's
  // error text; voice arguments are checked against the handle table.
  OrvVoice* PlayVoice(std::shared_ptr<SoundData> buffer, const OrvVoiceParam& param);
  void MoveVoice(OrvVoice* voice, const Vector3& position, const Vector3* velocity);
  void SetVoiceVolume(OrvVoice* voice, float volume);
  void SetVoiceSpeed(OrvVoice* voice, float speed);
  void StopVoice(OrvVoice* voice);
  int VoiceState(OrvVoice* voice);
  void ReleaseVoice(OrvVoice* voice);
  std::int64_t FrameClock() const { return deliveredFrames.load(std::memory_order_acquire); }
  void SetListenerVelocity(const Vector3& velocity);
  void LoadHrtf(const void* data, std::size_t size);
  void SetOption(int option, double value);

  // Refreshes every host channel and drops the finished ones. Host lock held.
  void Update();
  // Stops the oldest host channels beyond the polyphony limit. Host and
  // context lock held.
  void LimitPolyphonics(double delay);
  // Samples since the render thread started its current block, clamped to
  // 0 .. 10000; 0 in offline mode (no wall clock). Context lock held.
  double EventDelay() const;
  // Samples from the start of the next block the render thread has not yet
  // started to output frame startFrame (0 if that frame is already past).
  // Context lock held.
  double DelayUntil(std::int64_t startFrame) const;
  // The Doppler factor for a source moving at sourceVelocity and a listener
  // at listenerVelocity, toListener pointing from the source to the listener
  // (all in one space). Host lock held.
  double Doppler(const Vector3& toListener, const Vector3& sourceVelocity,
                 const Vector3& listenerVelocity) const;
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
  Vector3 listenerVelocity{0.0f, 0.0f, 0.0f};  // world space
  double dopplerFactor = 1.0;
  double speedOfSound = 343.3;
  std::mutex hostMutex;  // the host lock
  std::mutex mutex;      // the context lock
  double lastRenderTime = 0.0;

 private:
  Context(const InitParam& param, int version);
  void Start();
  void RenderThread();
  void RenderBlock(std::size_t numFrames);
  void ControlLoad(double elapsed, std::size_t numFrames);
  void SetChannels(std::deque<std::shared_ptr<HostVoice>> newChannels);
  void PlayPositioned(std::shared_ptr<SoundData> buffer, const Vector3& origin,
                      const PlayParam& params, bool isRelative);
  // Queues a new host channel, drops finished ones now and then. Host lock held.
  void AddChannel(std::shared_ptr<HostVoice> channel);
  // The held voice behind a handle; throws "Invalid voice handle.". Host lock held.
  HostVoice& HeldVoice(OrvVoice* voice);

  const int version;
  std::atomic<bool> running{true};
  std::atomic<bool> isOffline{false};
  std::atomic<bool> isLoadControlled{true};
  // Version 2: the host's first Render has come; before it, and for every
  // block in offline mode, the render thread waits for renderRequest.
  std::atomic<bool> hasStarted{false};
  orv::Gate renderRequest{false};
  std::int64_t nextBlockFrame = 0;  // the first frame of the next block; context lock
  std::atomic<std::int64_t> deliveredFrames{0};
  std::shared_ptr<std::thread> thread;
  Pipe<float> pipe;
  std::atomic<std::int64_t> requestedFrames{0};
  std::vector<float> renderBuffer;
  std::atomic<int> currentMaxPolyphonics;
  std::deque<std::shared_ptr<HostVoice>> channels;  // oldest first
  // The render thread reads only this count, never the queue itself.
  std::atomic<std::size_t> activeChannels{0};
  VoiceTable voices;  // host lock
};

}  // namespace orvbind
