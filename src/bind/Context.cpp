#include "bind/Context.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <exception>

#include "bind/Context_Callback.h"
#include "bind/Context_Channel.h"
#include "common/OrvException.h"
#include "engine/OrvEngine.h"

namespace orvbind {
namespace {

constexpr std::size_t kPipeCapacity = 1024;
constexpr std::int64_t kFirstBlockFrames = 512;
constexpr double kMaxEventDelay = 10000.0;

// A load in percent for the log; at a rate of a GHz one slow read is worth
// more percent than an int holds.
int Percent(double ratio) { return static_cast<int>(std::clamp(ratio * 100.0, 0.0, 2e9)); }

}  // namespace

double MonotonicTime() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) /
         1000000.0;
}

std::shared_ptr<Context> Context::Create(const InitParam& param, int version) {
  // The engine takes any positive rate and thread count; the bounds here keep
  // its buffer sizes and the block arithmetic within what it can hold.
  if (!(param.samplingRate >= ORV_MIN_SAMPLING_RATE && param.samplingRate <= ORV_MAX_SAMPLING_RATE))
    throw orv::Exception("Invalid sampling rate: %f", param.samplingRate);
  if (param.numThreads < 1 || param.numThreads > ORV_MAX_THREADS)
    throw orv::Exception("Invalid thread count: %d", param.numThreads);
  std::shared_ptr<Context> context(new Context(param, version));
  context->Start();
  return context;
}

Context::Context(const InitParam& initParam, int interfaceVersion)
    : param(initParam),
      version(interfaceVersion),
      pipe(kPipeCapacity),
      currentMaxPolyphonics(initParam.maxPolyphonics) {
  engineParam.samplingRate = param.samplingRate;
  engineParam.numChannels = 2;
  engineParam.numThreads = param.numThreads;
  engineParam.UseCarriedHrtf();
  engine = std::make_shared<orv::Engine>(engineParam);
  lastRenderTime = MonotonicTime();
  requestedFrames.store(kFirstBlockFrames);
}

void Context::Start() {
  // If the platform refuses the thread, its error leaves Create and the
  // half-built context (engine included) is released.
  thread = std::make_shared<std::thread>(&Context::RenderThread, this);
}

Context::~Context() {
  running.store(false);
  pipe.Empty();          // wakes a render thread that waits for the host's read
  renderRequest.Open();  // ... or for the host's request
  if (thread && thread->joinable()) thread->join();
  channels.clear();
  voices.RemoveAll();
}

void Context::RenderThread() {
  if (!running.load()) return;
  for (;;) {
    pipe.WaitUntilWritable();
    if (!running.load()) return;
    if (version >= 2 && (isOffline.load() || !hasStarted.load())) {
      renderRequest.Close();  // a block only when the host asks for it
      if (!running.load()) return;
    }
    // The limit creeps back by one a block; written so that a limit of
    // INT_MAX cannot overflow.
    const int limit = currentMaxPolyphonics.load();
    currentMaxPolyphonics.store(limit < param.maxPolyphonics ? limit + 1 : param.maxPolyphonics);

    const double t0 = MonotonicTime();
    const std::size_t numFrames = static_cast<std::size_t>(requestedFrames.load());
    renderBuffer.resize(2 * numFrames);
    try {
      RenderBlock(numFrames);
    } catch (const std::exception& error) {
      // A host read must never wait forever: deliver silence and say why.
      std::fill(renderBuffer.begin(), renderBuffer.end(), 0.0f);
      DebugLog("Render error: %s", error.what());
    } catch (...) {
      std::fill(renderBuffer.begin(), renderBuffer.end(), 0.0f);
      DebugLog("Render error: unknown exception");
    }
    pipe.Write(renderBuffer.begin(), renderBuffer.end());
    ControlLoad(MonotonicTime() - t0, numFrames);
    if (!running.load()) return;
  }
}

void Context::RenderBlock(std::size_t numFrames) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    lastRenderTime = MonotonicTime();
    engine->Prerender();
    nextBlockFrame += static_cast<std::int64_t>(numFrames);
  }
  engine->Render(renderBuffer.data(), static_cast<int>(numFrames));
}

void Context::ControlLoad(double elapsed, std::size_t numFrames) {
  const std::size_t active = activeChannels.load();
  if (!isLoadControlled.load() || isOffline.load()) {
    currentMaxPolyphonics.store(param.maxPolyphonics);
    return;
  }
  if (active == 0) return;
  const double blockTime = static_cast<double>(numFrames) / param.samplingRate;
  if (elapsed > 0.5 * blockTime) {
    // Drop at once to 80 % of what the measured load sustains in real time.
    int limit = static_cast<int>(static_cast<double>(active) * (blockTime / elapsed) * 0.8);
    limit = std::min(limit, param.maxPolyphonics);
    limit = std::max(limit, 16);
    currentMaxPolyphonics.store(limit);
    if (limit < param.maxPolyphonics) {
      const int load = Percent(elapsed / blockTime);
      DebugLog(
          "Auto Load Control Activated: %d poly caused %d%c CPU load. Limited to %d temporally.",
          static_cast<int>(active), load, '%', limit);
    }
  } else if (static_cast<int>(active) == currentMaxPolyphonics.load()) {
    const int limit = currentMaxPolyphonics.load();
    const bool hasRoom = static_cast<std::int64_t>(param.maxPolyphonics) - limit > 2;
    currentMaxPolyphonics.store(hasRoom ? limit + 2 : param.maxPolyphonics);
  }
}

void Context::Render(float* stream, int numFrames) {
  if (numFrames < 1 || numFrames > ORV_MAX_RENDER_FRAMES)
    throw orv::Exception("Invalid frame count: %d", numFrames);
  const double t0 = MonotonicTime();
  requestedFrames.store(numFrames);
  // Version 2 asks for each block in offline mode, and for the first one: a
  // read then waits for a whole render, which is no overload.
  const bool isRequested = version >= 2 && (isOffline.load() || !hasStarted.exchange(true));
  if (isRequested) renderRequest.Open();
  // Version 2 never discards a block rendered ahead at another size: output
  // frames and engine frames stay one count, which start frames rely on.
  pipe.Read(stream, 2 * static_cast<std::size_t>(numFrames), version < 2);
  deliveredFrames.fetch_add(numFrames, std::memory_order_acq_rel);
  if (isRequested) return;
  const double elapsed = MonotonicTime() - t0;
  const double blockTime = numFrames / param.samplingRate;
  if (elapsed > 0.2 * blockTime) {
    const int percent = Percent(elapsed / blockTime);
    DebugLog("Read time exceeded 20%c (%d%c): possibly overload", '%', percent, '%');
  }
}

double Context::EventDelay() const {
  if (isOffline.load()) return 0.0;
  const double delay = (MonotonicTime() - lastRenderTime) * engineParam.samplingRate;
  return std::clamp(delay, 0.0, kMaxEventDelay);
}

double Context::DelayUntil(std::int64_t startFrame) const {
  return startFrame > nextBlockFrame ? static_cast<double>(startFrame - nextBlockFrame) : 0.0;
}

double Context::Doppler(const Vector3& toListener, const Vector3& sourceVelocity,
                        const Vector3& listenerVelocity) const {
  const double d = std::sqrt(static_cast<double>(toListener.x) * toListener.x +
                             static_cast<double>(toListener.y) * toListener.y +
                             static_cast<double>(toListener.z) * toListener.z);
  if (dopplerFactor == 0.0 || !(d > 0.0) || !std::isfinite(d)) return 1.0;
  auto along = [&](const Vector3& v) {
    const double s = (v.x * toListener.x + v.y * toListener.y + v.z * toListener.z) / d;
    // Half the speed of sound either way keeps the shift within 1/3 .. 3:
    // no rate becomes zero, negative or absurd.
    return std::clamp(dopplerFactor * s, -0.5 * speedOfSound, 0.5 * speedOfSound);
  };
  return (speedOfSound - along(listenerVelocity)) / (speedOfSound - along(sourceVelocity));
}

void Context::DebugLog(const char* format, ...) {
  if (!param.logCallback) return;
  // On the stack, not orv::Format: the render thread logs too.
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const CallbackScope scope(this);
  param.logCallback(text, param.logUserData);
}

void Context::SetChannels(std::deque<std::shared_ptr<HostVoice>> newChannels) {
  channels.swap(newChannels);
  activeChannels.store(channels.size());
}

void Context::Update() {
  std::deque<std::shared_ptr<HostVoice>> alive;
  for (const auto& channel : channels)
    if (channel->Update()) alive.push_back(channel);
  SetChannels(std::move(alive));
}

void Context::LimitPolyphonics(double delay) {
  const std::size_t limit = static_cast<std::size_t>(
      std::max(0, std::min(param.maxPolyphonics, currentMaxPolyphonics.load())));
  while (channels.size() > limit) {
    channels.front()->Terminate(delay);
    channels.pop_front();
  }
  activeChannels.store(channels.size());
}

}  // namespace orvbind
