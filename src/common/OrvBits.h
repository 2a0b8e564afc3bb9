// Integer helpers shared by the layers.
#pragma once

namespace orv {

// True for 1, 2, 4, ... and, as the convolvers' size checks have it, for 0.
constexpr bool IsPowerOfTwo(int size) noexcept { return ((size - 1) & size) == 0; }

}  // namespace orv
