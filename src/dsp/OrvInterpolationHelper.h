// A table of ascending float keys (for example measurement angles) that finds
// the neighbours of a value and the key nearest to it. Keys are appended in
// ascending order by the owner; the order is trusted, not tested.
#pragma once

#include <cstddef>
#include <vector>

namespace orv {

// The two neighbouring keys of a value and its position between them, 0 at
// keys[index1], 1 at keys[index2]. Outside the table both indexes name the end
// key and fraction is 0.5.
struct InterpolationResult {
  std::size_t index1;
  std::size_t index2;
  float fraction;
};

class InterpolationHelper {
 public:
  void AddKey(float key);

  // Neighbours of x; the table must not be empty. Allocates nothing.
  InterpolationResult Interpolate(float x) const;

  // Index of the key nearest to x; a tie picks the upper key.
  std::size_t ChooseNearest(float x) const;

  std::vector<float> keys;
};

}  // namespace orv
