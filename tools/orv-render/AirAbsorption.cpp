#include "AirAbsorption.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvrender {

AirAbsorption::AirAbsorption(double sampleRate, double scale)
    : sampleRate(sampleRate), scale(scale) {}

double AirAbsorption::Cutoff(double distance) const {
  const double absorption = kDecibelsPerMetrePerHz2 * scale * distance;
  if (!(absorption > 0.0)) return std::numeric_limits<double>::infinity();
  return std::sqrt(3.0 / absorption);
}

float AirAbsorption::Coefficient(double distance) const {
  const double cutoff = Cutoff(distance);
  if (std::isinf(cutoff)) return 1.0f;
  const double c = 1.0 - std::exp(-2.0 * M_PI * cutoff / sampleRate);
  return static_cast<float>(std::clamp(c, 0.0, 1.0));
}

void AirAbsorption::Callback(const Vector3* worldPosition, float* result, void* userData) {
  const auto* self = static_cast<const AirAbsorption*>(userData);
  const Vec3 source{worldPosition->x, worldPosition->y, worldPosition->z};
  *result = self->Coefficient(Length(source - self->listener));
}

}  // namespace orvrender
