// libFuzzer target: the HRTF data loader over arbitrary bytes. Bad data must
// end in orv::Exception and nothing else: no crash, no leak, no undefined
// behaviour. A set that loads is then rendered for two blocks, so that what
// the loader accepted is also used the way the engine uses it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/OrvException.h"
#include "spatializer/OrvSpatializer.h"

namespace {

// The keys of the nearest-direction search must be finite and ascending; the
// loader refuses sets that break this, and the check here holds it to that.
bool HasSearchableKeys(const orv::InterpolationHelper& helper) {
  for (std::size_t i = 0; i < helper.keys.size(); ++i) {
    if (!std::isfinite(helper.keys[i])) return false;
    if (i > 0 && !(helper.keys[i - 1] <= helper.keys[i])) return false;
  }
  return true;
}

bool IsPowerOfTwoAtLeast4(int n) { return n >= 4 && (n & (n - 1)) == 0; }

void Render(orv::Spatializer& spatializer) {
  // Straight ahead, right, left, behind, above, below and oblique: every
  // path of the direction search, the mirrored one and a crossfade.
  const orv::Vector3 directions[] = {{0, 0, 1}, {1, 0, 0},  {-1, 0, 0}, {0, 0, -1},
                                     {0, 1, 0}, {0, -1, 0}, {1, 1, 1},  {-1, -0.5f, -1}};
  constexpr int kFrames = 200;  // not a multiple of any response length
  std::vector<float> samples(kFrames, 0.25f);
  std::vector<float> output(2 * kFrames, 0.0f);
  std::vector<std::shared_ptr<orv::Spatializer::Source>> sources;
  for (std::size_t i = 0; i < std::size(directions); ++i)
    sources.push_back(spatializer.CreateSource());
  for (int block = 0; block < 2; ++block) {
    spatializer.BeginRender(kFrames);
    for (std::size_t i = 0; i < sources.size(); ++i) {
      // The second block turns every source, which starts a crossfade.
      const orv::Vector3& d =
          directions[(i + static_cast<std::size_t>(block)) % std::size(directions)];
      sources[i]->Mix(samples.data(), 0, kFrames / 2, d);
      sources[i]->Mix(samples.data(), kFrames / 2, kFrames - kFrames / 2, d);
    }
    const std::size_t count = spatializer.PrepareEndRender();
    for (std::size_t j = 0; j < count; ++j) spatializer.EndRender(j);
    spatializer.FinishRender(output.data());
  }
  for (float v : output)
    if (std::isnan(v)) __builtin_trap();  // samples in [-1, 1] cannot add up to NaN
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::shared_ptr<orv::Spatializer> spatializer;
  try {
    spatializer = std::make_shared<orv::Spatializer>(data, size, 48000.0);
  } catch (const orv::Exception&) {
    return 0;  // rejected: the expected end of most inputs
  }
  // What loaded obeys the rules: one elevation key per ring, one azimuth key
  // per angle, all of them searchable, response lengths the convolver
  // accepts, and no more response bytes than were given.
  const auto& rings = spatializer->Rings();
  if (spatializer->Elevations().keys.size() != rings.size()) __builtin_trap();
  if (!HasSearchableKeys(spatializer->Elevations())) __builtin_trap();
  std::size_t responseBytes = 0;
  for (const auto& ring : rings) {
    if (ring->azimuths.keys.size() != ring->angles.size()) __builtin_trap();
    if (!HasSearchableKeys(ring->azimuths)) __builtin_trap();
    for (const auto& angle : ring->angles) {
      const std::size_t n = angle->hop[0].size();
      if (!IsPowerOfTwoAtLeast4(static_cast<int>(n)) || angle->hop[1].size() != n) __builtin_trap();
      responseBytes += 8 * n;
    }
  }
  if (responseBytes > size) __builtin_trap();
  Render(*spatializer);
  return 0;
}
