// Plain parameter records of the engine.
#pragma once

#include <cstddef>

#include "room/OrvRoom_Layers.h"  // ReverbLayerParam

namespace orv {

struct EngineParam {
  double samplingRate = 48000.0;
  int numChannels = 2;
  int numThreads = 1;
  const void* hrtfData = nullptr;  // null: no spatializer
  std::size_t hrtfDataSize = 0;

  // Throws Exception: channel count, then sampling rate, then thread count.
  void Validate() const;
  // Points hrtfData at the HRTF set carried inside the library.
  void UseCarriedHrtf();
};

}  // namespace orv
