// The listener, the room and a play's keyframes over time: keyframes interpolated at any time,
// held before the first and after the last.
#pragma once

#include <vector>

#include "Scene.h"

namespace orvrender {

struct ListenerPose {
  Vec3 position;
  Vec3 front{0.0, 0.0, -1.0};  // unit length
  Vec3 up{0.0, 1.0, 0.0};      // unit length, at right angles to front
};

// Positions move linearly between keyframes; the orientation turns at an even
// rate the shorter way round (a rotation interpolated as a unit quaternion).
class ListenerTrack {
 public:
  explicit ListenerTrack(const std::vector<ListenerKey>& keys);
  ListenerPose At(double time) const;

 private:
  struct Key {
    double time;
    Vec3 position;
    double rotation[4];  // w, x, y, z
  };
  std::vector<Key> keys;
};

// Each of the five room values moves linearly between keyframes.
class RoomTrack {
 public:
  explicit RoomTrack(const std::vector<RoomKey>& keys);
  ReverbParam At(double time) const;

 private:
  std::vector<RoomKey> keys;
};

// A play's keyframes at `time` seconds after it started. Velocity is the
// slope of the segment holding time (metres per second), zero outside the
// keys and across a jump (two keys at one time).
Vec3 PositionAt(const std::vector<PositionKey>& keys, double time);
Vec3 VelocityAt(const std::vector<PositionKey>& keys, double time);
double ValueAt(const std::vector<ValueKey>& keys, double time);

}  // namespace orvrender
