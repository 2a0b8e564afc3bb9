#include "dsp/OrvInterpolationHelper.h"

#include "common/OrvAssert.h"

namespace orv {

void InterpolationHelper::AddKey(float key) { keys.push_back(key); }

InterpolationResult InterpolationHelper::Interpolate(float x) const {
  ORV_ASSERT(!keys.empty(), "OrvInterpolationHelper");
  const std::size_t n = keys.size();
  if (keys[0] >= x) return {0, 0, 0.5f};
  if (x >= keys[n - 1]) return {n - 1, n - 1, 0.5f};
  for (std::size_t i = 1; i < n; ++i) {
    if (keys[i] > x) return {i - 1, i, (x - keys[i - 1]) / (keys[i] - keys[i - 1])};
  }
  // Only reachable with unordered keys or a NaN x.
  ORV_ASSERT(false, "OrvInterpolationHelper");
  return {0, 0, 0.5f};
}

std::size_t InterpolationHelper::ChooseNearest(float x) const {
  const InterpolationResult r = Interpolate(x);
  if (r.index1 == r.index2) return r.index1;
  return r.fraction < 0.5f ? r.index1 : r.index2;
}

}  // namespace orv
