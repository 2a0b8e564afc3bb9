#include "spatializer/OrvSpatializer.h"

#include <algorithm>
#include <cmath>

#include "common/OrvAssert.h"

namespace orv {
namespace {

// The float nearest below 180/pi: keeps directions bit-identical to the
// measured grid's own conversion.
constexpr float kDegreesPerRadian = 57.2957763671875f;
// A crossfade lasts 128 of the source's own samples.
constexpr float kFadeStep = 0.0078125f;
constexpr float kFadeLength = 128.0f;

// Wraps into [-180, 180); 180 itself becomes -180.
float WrapAzimuth(float azimuth) {
  const double a = azimuth;
  return static_cast<float>(a - std::floor(a / 360.0 + 0.5) * 360.0);
}

}  // namespace

Spatializer::Source::Source(std::weak_ptr<Spatializer> owner) : spatializer(std::move(owner)) {}

std::shared_ptr<Spatializer::Source> Spatializer::CreateSource() {
  return std::make_shared<Source>(weak_from_this());
}

void Spatializer::Source::Mix(const float* samples, int offset, int count,
                              const Vector3& position) {
  const float x = position.x, y = position.y, z = position.z;
  // The zero cases avoid the angle of a signed zero vector.
  const float azimuth = (x == 0.0f && z == 0.0f) ? 0.0f : std::atan2(x, z) * kDegreesPerRadian;
  const float elevation = (x == 0.0f && y == 0.0f && z == 0.0f)
                              ? 0.0f
                              : std::atan2(y, std::sqrt(x * x + z * z)) * kDegreesPerRadian;
  Mix(samples, offset, count, azimuth, elevation);
}

void Spatializer::Source::Mix(const float* samples, int offset, int count, float azimuth,
                              float elevation) {
  const std::shared_ptr<Spatializer> owner = spatializer.lock();
  if (!owner) return;
  // Non-finite directions count as straight ahead: an infinite azimuth has
  // no wrap, and a NaN no nearest angle.
  if (std::isnan(elevation)) elevation = 0.0f;
  if (!std::isfinite(azimuth)) azimuth = 0.0f;
  elevation = std::clamp(elevation, -90.0f, 90.0f);
  // A data set without rings, or a ring without angles, renders nothing.
  if (owner->rings.empty()) return;
  const Ring& ring = *owner->rings[owner->elevations.ChooseNearest(elevation)];
  if (ring.angles.empty()) return;

  const float wrapped = WrapAzimuth(azimuth);
  const std::shared_ptr<Angle>& chosen = ring.angles[ring.azimuths.ChooseNearest(std::fabs(wrapped))];
  const bool newMirrored = wrapped < 0.0f;

  if (!current) {
    current = chosen;
    mirrored = newMirrored;
  }
  if (current == chosen && mirrored == newMirrored && !next) {
    InnerMix<0>(current.get(), mirrored, samples, offset, count, 0.0f);
    return;
  }

  // A running crossfade finishes before a new direction is honoured.
  const bool isRunning = static_cast<bool>(next);
  const std::shared_ptr<Angle> target = isRunning ? next : chosen;
  const float start = isRunning ? fade : 0.0f;
  const int n = std::min(static_cast<int>((1.0f - start) * kFadeLength), count);
  InnerMix<-1>(current.get(), mirrored, samples, offset, n, start);
  InnerMix<1>(target.get(), newMirrored, samples, offset, n, start);
  if (n == count) {
    next = target;
    fade = start + static_cast<float>(count) * kFadeStep;
    return;
  }
  next.reset();
  current = target;
  mirrored = newMirrored;
  InnerMix<0>(current.get(), mirrored, samples + n, offset + n, count - n, 0.0f);
}

template <int direction>
void Spatializer::Source::InnerMix(Angle* angle, bool useMirrored, const float* samples,
                                   int offset, int count, float startFade) {
  std::vector<float>& buffer = useMirrored ? angle->mirroredInput : angle->input;
  std::atomic<bool>& used = useMirrored ? angle->mirroredInputUsed : angle->inputUsed;
  std::mutex& bufferMutex = useMirrored ? angle->mirroredInputMutex : angle->inputMutex;

  // The first writer of the block clears the buffer; later writers see the
  // flag set (acquire) and skip the setup lock.
  if (!used.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> setup(angle->setupMutex);
    if (!used.load(std::memory_order_relaxed)) {
      std::fill(buffer.begin(), buffer.end(), 0.0f);
      used.store(true, std::memory_order_release);
    }
  }

  std::lock_guard<std::mutex> lock(bufferMutex);
  float* dst = buffer.data() + offset;
  if constexpr (direction == 0) {
    for (int i = 0; i < count; ++i) dst[i] += samples[i];
  } else if constexpr (direction < 0) {
    float g = 1.0f - startFade;
    for (int i = 0; i < count; ++i) {
      dst[i] += samples[i] * g;
      g -= kFadeStep;
    }
  } else {
    float g = startFade;
    for (int i = 0; i < count; ++i) {
      dst[i] += samples[i] * g;
      g += kFadeStep;
    }
  }
}

void Spatializer::BeginRender(std::size_t newBlockSize) {
  blockSize = newBlockSize;
  for (const auto& ring : rings) {
    for (const auto& angle : ring->angles) {
      angle->inputUsed.store(false, std::memory_order_relaxed);
      angle->mirroredInputUsed.store(false, std::memory_order_relaxed);
      // Cleared lazily by the block's first writer; storage is kept.
      angle->input.resize(blockSize);
      angle->mirroredInput.resize(blockSize);
    }
  }
}

std::size_t Spatializer::PrepareEndRender() {
  enabledAngles.clear();
  for (const auto& ring : rings) {
    for (const auto& angle : ring->angles) {
      if (angle->inputUsed.load(std::memory_order_acquire) || angle->convolver->HasOutput() ||
          angle->mirroredInputUsed.load(std::memory_order_acquire) ||
          angle->mirroredConvolver->HasOutput())
        enabledAngles.push_back(angle.get());
    }
  }
  return enabledAngles.size();
}

void Spatializer::EndRender(float* output, std::size_t index) {
  ORV_ASSERT(index < enabledAngles.size(), "OrvSpatializer");
  Angle& angle = *enabledAngles[index];
  const auto frames = static_cast<unsigned int>(blockSize);
  if (angle.inputUsed.load(std::memory_order_acquire))
    angle.convolver->ApplyAdditive<false, false>(frames, angle.input.data(), output);
  else if (angle.convolver->HasOutput())
    angle.convolver->ApplyAdditive<false, true>(frames, nullptr, output);
  if (angle.mirroredInputUsed.load(std::memory_order_acquire))
    angle.mirroredConvolver->ApplyAdditive<true, false>(frames, angle.mirroredInput.data(), output);
  else if (angle.mirroredConvolver->HasOutput())
    angle.mirroredConvolver->ApplyAdditive<true, true>(frames, nullptr, output);
}

}  // namespace orv
