// Engine::LoadHrtf: not available in this build yet; every set is refused and
// the carried one stays.
#include "common/OrvException.h"
#include "engine/OrvEngine.h"

namespace orv {

void Engine::LoadHrtf(const void*, std::size_t) {
  throw Exception("HRTF loading is not available.");
}

}  // namespace orv
