// Engine::LoadHrtf: a host's own HRTF set, taken over by the spatializer at a
// block boundary.
#include "common/OrvException.h"
#include "engine/OrvEngine.h"
#include "spatializer/OrvSpatializer.h"

namespace orv {

void Engine::LoadHrtf(const void* data, std::size_t size) {
  // Voices hold the spatializer they were made with, so an engine built
  // without one cannot gain one while it runs.
  if (!spatializer) throw Exception("HRTF loading needs an engine built with HRTF data.");
  if (!data) throw Exception("HRTF data is null.");
  spatializer->Replace(data, size);
}

}  // namespace orv
