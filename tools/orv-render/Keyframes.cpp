#include "Keyframes.h"

#include <algorithm>
#include <cmath>

namespace orvrender {

namespace {

using Quaternion = double[4];  // w, x, y, z

// The rotation that turns the rest pose (front -z, up +y, right +x) into the
// given one. Its matrix has the columns right, up and back (= -front).
void FrameToQuaternion(Vec3 front, Vec3 up, Quaternion q) {
  const Vec3 back = Normalized(front) * -1.0;
  const Vec3 right = Normalized(Cross(Normalized(front), up));
  const Vec3 trueUp = Cross(back, right);  // = right x front
  const double m00 = right.x, m01 = trueUp.x, m02 = back.x;
  const double m10 = right.y, m11 = trueUp.y, m12 = back.y;
  const double m20 = right.z, m21 = trueUp.z, m22 = back.z;
  // Shepperd's method: divide by the largest of the four candidates.
  const double trace = m00 + m11 + m22;
  if (trace > 0.0) {
    const double s = std::sqrt(trace + 1.0) * 2.0;
    q[0] = 0.25 * s;
    q[1] = (m21 - m12) / s;
    q[2] = (m02 - m20) / s;
    q[3] = (m10 - m01) / s;
  } else if (m00 > m11 && m00 > m22) {
    const double s = std::sqrt(1.0 + m00 - m11 - m22) * 2.0;
    q[0] = (m21 - m12) / s;
    q[1] = 0.25 * s;
    q[2] = (m01 + m10) / s;
    q[3] = (m02 + m20) / s;
  } else if (m11 > m22) {
    const double s = std::sqrt(1.0 + m11 - m00 - m22) * 2.0;
    q[0] = (m02 - m20) / s;
    q[1] = (m01 + m10) / s;
    q[2] = 0.25 * s;
    q[3] = (m12 + m21) / s;
  } else {
    const double s = std::sqrt(1.0 + m22 - m00 - m11) * 2.0;
    q[0] = (m10 - m01) / s;
    q[1] = (m02 + m20) / s;
    q[2] = (m12 + m21) / s;
    q[3] = 0.25 * s;
  }
}

void QuaternionToFrame(const Quaternion q, Vec3& front, Vec3& up) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  // Second column (up) and third column (back) of the rotation matrix.
  up = {2.0 * (x * y - z * w), 1.0 - 2.0 * (x * x + z * z), 2.0 * (y * z + x * w)};
  const Vec3 back{2.0 * (x * z + y * w), 2.0 * (y * z - x * w), 1.0 - 2.0 * (x * x + y * y)};
  front = Normalized(back * -1.0);
  up = Normalized(up);
}

void Slerp(const Quaternion a, const Quaternion b, double t, Quaternion out) {
  double target[4] = {b[0], b[1], b[2], b[3]};
  double cosine = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
  if (cosine < 0.0) {  // q and -q are the same rotation: take the shorter way
    for (double& c : target) c = -c;
    cosine = -cosine;
  }
  double wa = 1.0 - t, wb = t;
  if (cosine < 0.9995) {  // nearly equal rotations interpolate linearly without loss
    const double angle = std::acos(cosine);
    const double s = std::sin(angle);
    wa = std::sin((1.0 - t) * angle) / s;
    wb = std::sin(t * angle) / s;
  }
  double norm = 0.0;
  for (int i = 0; i < 4; ++i) {
    out[i] = wa * a[i] + wb * target[i];
    norm += out[i] * out[i];
  }
  norm = 1.0 / std::sqrt(norm);
  for (int i = 0; i < 4; ++i) out[i] *= norm;
}

// Index of the first keyframe later than time (keys sorted by time).
template <typename Keys>
std::size_t NextKey(const Keys& keys, double time) {
  return static_cast<std::size_t>(
      std::upper_bound(keys.begin(), keys.end(), time,
                       [](double t, const auto& key) { return t < key.time; }) -
      keys.begin());
}

}  // namespace

ListenerTrack::ListenerTrack(const std::vector<ListenerKey>& source) {
  for (const ListenerKey& k : source) {
    Key key{k.time, k.position, {}};
    FrameToQuaternion(k.front, k.up, key.rotation);
    keys.push_back(key);
  }
}

ListenerPose ListenerTrack::At(double time) const {
  ListenerPose pose;
  if (keys.empty()) return pose;
  const std::size_t next = NextKey(keys, time);
  double rotation[4];
  if (next == 0 || next == keys.size()) {
    const Key& k = keys[next == 0 ? 0 : keys.size() - 1];
    pose.position = k.position;
    std::copy(k.rotation, k.rotation + 4, rotation);
  } else {
    const Key& a = keys[next - 1];
    const Key& b = keys[next];
    const double t = (time - a.time) / (b.time - a.time);
    pose.position = Lerp(a.position, b.position, t);
    Slerp(a.rotation, b.rotation, t, rotation);
  }
  QuaternionToFrame(rotation, pose.front, pose.up);
  return pose;
}

RoomTrack::RoomTrack(const std::vector<RoomKey>& keys) : keys(keys) {}

ReverbParam RoomTrack::At(double time) const {
  if (keys.empty()) return DefaultRoom();
  const std::size_t next = NextKey(keys, time);
  if (next == 0) return keys.front().room;
  if (next == keys.size()) return keys.back().room;
  const RoomKey& a = keys[next - 1];
  const RoomKey& b = keys[next];
  const float t = static_cast<float>((time - a.time) / (b.time - a.time));
  const auto mix = [t](float x, float y) { return x + (y - x) * t; };
  return {mix(a.room.reflectivity, b.room.reflectivity), mix(a.room.roomVolume, b.room.roomVolume),
          mix(a.room.roomArea, b.room.roomArea), mix(a.room.roomSize, b.room.roomSize),
          mix(a.room.enclosure, b.room.enclosure)};
}

Vec3 PositionAt(const std::vector<PositionKey>& keys, double time) {
  if (keys.empty()) return {};
  const std::size_t next = NextKey(keys, time);
  if (next == 0) return keys.front().position;
  if (next == keys.size()) return keys.back().position;
  const PositionKey& a = keys[next - 1];
  const PositionKey& b = keys[next];
  return Lerp(a.position, b.position, (time - a.time) / (b.time - a.time));
}

Vec3 VelocityAt(const std::vector<PositionKey>& keys, double time) {
  const std::size_t next = NextKey(keys, time);
  if (next == 0 || next == keys.size()) return {};
  const PositionKey& a = keys[next - 1];
  const PositionKey& b = keys[next];
  // upper_bound guarantees b.time > time >= a.time, so the span is positive.
  return (b.position - a.position) * (1.0 / (b.time - a.time));
}

double ValueAt(const std::vector<ValueKey>& keys, double time) {
  if (keys.empty()) return 0.0;
  const std::size_t next = NextKey(keys, time);
  if (next == 0) return keys.front().value;
  if (next == keys.size()) return keys.back().value;
  const ValueKey& a = keys[next - 1];
  const ValueKey& b = keys[next];
  return a.value + (b.value - a.value) * (time - a.time) / (b.time - a.time);
}

}  // namespace orvrender
