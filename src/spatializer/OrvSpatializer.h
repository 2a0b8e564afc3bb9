// The binaural spatializer: renders any number of positioned mono sources for
// headphones. Each source adds its samples into the input of the measured
// direction (Angle) nearest to it; once per block every angle in use runs its
// pair of head-related impulse responses, so the cost grows with the
// directions in use, not with the sources.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "common/OrvVector3.h"

namespace orv {

class Spatializer : public std::enable_shared_from_this<Spatializer> {
 public:
  class Angle;
  class Ring;

  // One positioned sound. Mixed by one thread at a time.
  class Source {
   public:
    explicit Source(std::weak_ptr<Spatializer> spatializer);

    // Adds count samples at block frames offset .. offset + count - 1, heard
    // from position (listener space). ORV_REALTIME (locks the angle buffers).
    void Mix(const float* samples, int offset, int count, const Vector3& position);
    // The same with the direction in degrees.
    void Mix(const float* samples, int offset, int count, float azimuth, float elevation);

   private:
    template <int direction>
    void InnerMix(Angle* angle, bool mirrored, const float* samples, int offset, int count,
                  float fade);

    std::weak_ptr<Spatializer> spatializer;
    std::shared_ptr<Angle> current;
    std::shared_ptr<Angle> next;
    float fade = 0.0f;
    bool mirrored = false;
  };

  // Parses and validates ORVHRTFD data; throws Exception on bad data.
  // Must be created owned by a shared pointer.
  Spatializer(const void* data, std::size_t size, double samplingRate);
  ~Spatializer();

  std::shared_ptr<Source> CreateSource();

  // Engine, per block: BeginRender, then Mix from any threads, then
  // PrepareEndRender once and EndRender for every index (concurrently allowed
  // with distinct output arrays).
  void BeginRender(std::size_t blockSize);
  std::size_t PrepareEndRender();
  void EndRender(float* output, std::size_t index);
};

}  // namespace orv
