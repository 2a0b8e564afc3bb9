// The boundary's three-float vector, shared by every layer.
#pragma once

#include "orv/orv.h"

namespace orv {
using Vector3 = ::Vector3;
}  // namespace orv
