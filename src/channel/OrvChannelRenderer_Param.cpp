// Validation of a voice's parameters.
#include "channel/OrvChannelRenderer_Param.h"

#include <cmath>

#include "common/OrvException.h"

namespace orv {

void ChannelParam::Validate() const {
  // NaN fails "speed <= 0" too, so the sign test alone would let it pass.
  if (speed <= 0.0) throw Exception("Speed is not positive.");
  if (std::isnan(speed)) throw Exception("NaN speed.");
  if (std::isnan(position)) throw Exception("NaN position.");
  if (std::isnan(gain)) throw Exception("NaN gain.");
  if (isLooped && loopStart >= loopEnd) throw Exception("Invalid loop position.");
}

}  // namespace orv
