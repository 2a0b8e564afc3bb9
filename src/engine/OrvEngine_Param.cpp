#include "engine/OrvEngine_Param.h"

#include "common/OrvException.h"
#include "spatializer/OrvSpatializer_CarriedData.h"

namespace orv {

void EngineParam::Validate() const {
  if (numChannels < 1) throw Exception("Invalid channel count: %d", numChannels);
  if (!(samplingRate > 0.0)) throw Exception("Invalid sampling rate: %f", samplingRate);
  // The render cycle needs at least its own thread as a worker slot.
  if (numThreads < 1) throw Exception("Invalid thread count: %d", numThreads);
}

void EngineParam::UseCarriedHrtf() {
  hrtfData = kCarriedHrtfData;
  hrtfDataSize = kCarriedHrtfDataSize;
}

}  // namespace orv
