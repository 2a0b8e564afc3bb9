#include "room/OrvRoom_Layers.h"

#include <cmath>

namespace orv {
namespace {

// Clamps x into [lo, hi]; NaN becomes lo, so that a bad room description can
// never reach the reverb (whose setters stop the process on NaN).
float ClampFinite(float x, float lo, float hi) noexcept { return std::fmin(std::fmax(x, lo), hi); }

}  // namespace

ReverbLayers DeriveReverbLayers(float reflectivity, float roomVolume, float roomArea,
                                float enclosure) noexcept {
  const float area = std::fmax(roomArea, 0.01f);
  const float t = ClampFinite(roomVolume * 0.161f / area / 0.4f * 1.5f, 1.2f, 15.0f);
  const float r2 = reflectivity * reflectivity;
  const float level = ClampFinite(
      (r2 * r2 * enclosure * enclosure * enclosure * 0.34f + 0.02f) * 0.5f, 0.01f, 0.5f);
  const float k = ClampFinite(2.0f - t, 1.0f, 2.0f) * level;
  return {{
      {0.5f * k, 0.001f, 0.1f, 0.0f},
      {k, 0.013f, 0.3f * t, 0.0f},
      {level, 0.036f, t, 0.0f},
  }};
}

}  // namespace orv
