// The binaural spatializer: renders any number of positioned mono sources for
// headphones. Each source adds its samples into the input of the measured
// direction (Angle) nearest to it; once per block every angle in use runs its
// pair of head-related impulse responses, so the cost grows with the
// directions in use, not with the sources. The data set holds the right half
// of the circle; sources on the left use the mirrored angle, ears exchanged.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "common/OrvVector3.h"
#include "dsp/OrvConvolver.h"
#include "dsp/OrvInterpolationHelper.h"

namespace orv {

class Spatializer : public std::enable_shared_from_this<Spatializer> {
 public:
  // One measured direction with its two convolvers and the per-block input
  // that sources accumulate into.
  class Angle {
   public:
    Angle(float azimuth, float* leftResponse, float* rightResponse, int tapCount);

    float azimuth;
    std::unique_ptr<DualMiniConvolver> convolver;          // sources at azimuth >= 0
    std::unique_ptr<DualMiniConvolver> mirroredConvolver;  // sources at azimuth < 0
    std::vector<float> input;
    std::atomic<bool> inputUsed{false};
    std::vector<float> mirroredInput;
    std::atomic<bool> mirroredInputUsed{false};
    std::mutex setupMutex;          // guards the lazy clearing of either buffer
    std::mutex inputMutex;          // guards accumulation into input
    std::mutex mirroredInputMutex;  // guards accumulation into mirroredInput
  };

  // One elevation with its angles in ascending azimuth.
  class Ring {
   public:
    float elevation = 0.0f;
    InterpolationHelper azimuths;
    std::vector<std::shared_ptr<Angle>> angles;
  };

  // One positioned sound. Mixed by one thread at a time.
  class Source {
   public:
    explicit Source(std::weak_ptr<Spatializer> spatializer);

    // Adds count samples at block frames offset .. offset + count - 1, heard
    // from position (listener space). ORV_REALTIME: locks only the angle's
    // buffer locks, allocates nothing.
    void Mix(const float* samples, int offset, int count, const Vector3& position);
    // The same with the direction in degrees (azimuth from the front towards
    // the right, elevation upwards).
    void Mix(const float* samples, int offset, int count, float azimuth, float elevation);

   private:
    template <int direction>
    void InnerMix(Angle* angle, bool mirrored, const float* samples, int offset, int count,
                  float fade);

    std::weak_ptr<Spatializer> spatializer;
    std::shared_ptr<Angle> current;
    std::shared_ptr<Angle> next;  // the angle being faded in
    float fade = 0.0f;            // crossfade progress, a multiple of 1/128
    bool mirrored = false;
  };

  // Parses and validates ORVHRTFD data; throws Exception on bad data. Must be
  // created owned by a shared pointer (sources refer to it weakly).
  Spatializer(const void* data, std::size_t size, double samplingRate);
  ~Spatializer();
  Spatializer(const Spatializer&) = delete;
  Spatializer& operator=(const Spatializer&) = delete;

  std::shared_ptr<Source> CreateSource();

  // Engine, per block: BeginRender, then Mix from any threads, then
  // PrepareEndRender once and EndRender for every index below its result
  // (concurrently allowed, each thread with its own output array).
  // ORV_REALTIME apart from growing the angle buffers when the block grows.
  void BeginRender(std::size_t blockSize);
  std::size_t PrepareEndRender();
  // Adds angle index's binaural output to output (blockSize stereo frames).
  void EndRender(float* output, std::size_t index);

  const std::vector<std::shared_ptr<Ring>>& Rings() const { return rings; }
  const InterpolationHelper& Elevations() const { return elevations; }

 private:
  void LoadData(const char* data, std::size_t size);

  std::vector<std::shared_ptr<Ring>> rings;
  InterpolationHelper elevations;
  std::size_t blockSize = 0;
  std::vector<Angle*> enabledAngles;
};

}  // namespace orv
