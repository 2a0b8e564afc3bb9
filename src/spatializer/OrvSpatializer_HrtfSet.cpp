#include "spatializer/OrvSpatializer_HrtfSet.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>

#include "common/OrvBits.h"
#include "dsp/OrvResampler.h"

namespace orv {
namespace {

// Little-endian field access, independent of the host's byte order.
void PutU32(std::vector<unsigned char>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}
void PutF32(std::vector<unsigned char>& out, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  PutU32(out, bits);
}
void PutF64(std::vector<unsigned char>& out, double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, 8);
  PutU32(out, static_cast<std::uint32_t>(bits));
  PutU32(out, static_cast<std::uint32_t>(bits >> 32));
}
std::uint32_t GetU32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}
std::int32_t GetI32(const unsigned char* p) { return static_cast<std::int32_t>(GetU32(p)); }
float GetF32(const unsigned char* p) {
  const std::uint32_t bits = GetU32(p);
  float value;
  std::memcpy(&value, &bits, 4);
  return value;
}
double GetF64(const unsigned char* p) {
  const std::uint64_t bits = std::uint64_t(GetU32(p)) | std::uint64_t(GetU32(p + 4)) << 32;
  double value;
  std::memcpy(&value, &bits, 8);
  return value;
}

// Reads sequentially and names the field that runs past the end. Lengths are
// compared before anything is allocated for them.
class Cursor {
 public:
  Cursor(const unsigned char* data, std::size_t size) : data(data), size(size) {}

  template <typename What>
  const unsigned char* Take(std::size_t count, const What& what) {
    if (size - offset < count)
      throw HrtfDataError(Format("file truncated: %s at offset %zu needs %zu bytes, %zu remain",
                                 what().c_str(), offset, count, size - offset));
    const unsigned char* p = data + offset;
    offset += count;
    return p;
  }
  std::size_t Remaining() const { return size - offset; }
  const unsigned char* Here() const { return data + offset; }

 private:
  const unsigned char* data;
  std::size_t size;
  std::size_t offset = 0;
};

void CheckResponse(const std::vector<float>& response, const char* ear, const HrtfRing& ring,
                   const HrtfAngle& angle) {
  for (std::size_t i = 0; i < response.size(); ++i) {
    const float v = response[i];
    if (!(v >= -1.0f && v <= 1.0f))
      throw HrtfDataError(
          Format("%s response at elevation %g, azimuth %g: sample %zu is %g, "
                 "outside [-1, 1]",
                 ear, double(ring.elevation), double(angle.azimuth), i, double(v)));
  }
}

}  // namespace

HrtfDataError::HrtfDataError(const std::string& text)
    : Exception("Invalid ORV HRTF data: %s.", text.c_str()), detail(text) {}

std::size_t HrtfSet::AngleCount() const {
  std::size_t count = 0;
  for (const HrtfRing& ring : rings) count += ring.angles.size();
  return count;
}

const HrtfAngle* HrtfSet::Find(float elevation, float azimuth) const {
  for (const HrtfRing& ring : rings) {
    if (ring.elevation != elevation) continue;
    for (const HrtfAngle& angle : ring.angles)
      if (angle.azimuth == azimuth) return &angle;
  }
  return nullptr;
}

HrtfSet ReadHrtfRecords(const void* bytes, std::size_t size, std::size_t* trailingBytes) {
  const auto* data = static_cast<const unsigned char*>(bytes);
  if (size < sizeof kHrtfSignature || std::memcmp(data, kHrtfSignature, sizeof kHrtfSignature) != 0)
    throw HrtfDataError("wrong signature");
  Cursor cursor(data, size);
  cursor.Take(sizeof kHrtfSignature, [] { return std::string("signature"); });
  const std::int32_t ringCount = GetI32(cursor.Take(4, [] { return std::string("ring count"); }));
  if (ringCount < 0) throw HrtfDataError(Format("negative ring count %d", ringCount));

  // Records are appended as they are read, so a huge count in a short file
  // ends in a truncation error, not in a huge allocation.
  HrtfSet set;
  for (std::int32_t r = 0; r < ringCount; ++r) {
    HrtfRing& ring = set.rings.emplace_back();
    const unsigned char* header =
        cursor.Take(kHrtfRingHeaderSize, [r] { return Format("header of ring %d", r); });
    ring.elevation = GetF32(header);
    const std::int32_t angleCount = GetI32(header + 4);
    if (angleCount < 0)
      throw HrtfDataError(Format("ring %d: negative angle count %d", r, angleCount));
    for (std::int32_t a = 0; a < angleCount; ++a) {
      const unsigned char* angleHeader = cursor.Take(
          kHrtfAngleHeaderSize, [r, a] { return Format("header of ring %d, angle %d", r, a); });
      HrtfAngle& angle = ring.angles.emplace_back();
      angle.azimuth = GetF32(angleHeader);
      const std::int32_t tapCount = GetI32(angleHeader + 4);
      if (tapCount < 0)
        throw HrtfDataError(Format("ring %d, angle %d: negative tap count %d", r, a, tapCount));
      const std::size_t n = static_cast<std::size_t>(tapCount);
      const unsigned char* left =
          cursor.Take(4 * n, [r, a] { return Format("left response of ring %d, angle %d", r, a); });
      const unsigned char* right = cursor.Take(
          4 * n, [r, a] { return Format("right response of ring %d, angle %d", r, a); });
      angle.left.resize(n);
      angle.right.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        angle.left[i] = GetF32(left + 4 * i);
        angle.right[i] = GetF32(right + 4 * i);
      }
    }
  }
  if (cursor.Remaining() >= kHrtfRateRecordSize &&
      std::memcmp(cursor.Here(), kHrtfRateTag, sizeof kHrtfRateTag) == 0)
    set.samplingRate = GetF64(cursor.Take(kHrtfRateRecordSize, [] {
      return std::string("rate record");
    }) + sizeof kHrtfRateTag);
  if (trailingBytes) *trailingBytes = cursor.Remaining();
  return set;
}

void ValidateHrtfSet(const HrtfSet& set) {
  if (set.rings.empty()) throw HrtfDataError("the set has no rings");
  if (set.rings.size() > std::size_t(std::numeric_limits<std::int32_t>::max()))
    throw HrtfDataError("too many rings");
  for (std::size_t r = 0; r < set.rings.size(); ++r) {
    const HrtfRing& ring = set.rings[r];
    const double elevation = ring.elevation;
    if (!(ring.elevation >= -90.0f && ring.elevation <= 90.0f))
      throw HrtfDataError(Format("ring %zu: elevation %g lies outside [-90, 90]", r, elevation));
    if (r > 0 && !(ring.elevation > set.rings[r - 1].elevation))
      throw HrtfDataError(Format("ring %zu: elevation %g does not ascend from %g", r, elevation,
                                 double(set.rings[r - 1].elevation)));
    if (ring.angles.empty())
      throw HrtfDataError(Format("ring at elevation %g has no angles", elevation));
    for (std::size_t a = 0; a < ring.angles.size(); ++a) {
      const HrtfAngle& angle = ring.angles[a];
      const double azimuth = angle.azimuth;
      if (!(angle.azimuth >= 0.0f && angle.azimuth <= 180.0f))
        throw HrtfDataError(
            Format("ring at elevation %g: azimuth %g lies outside [0, 180]", elevation, azimuth));
      if (a > 0 && !(angle.azimuth > ring.angles[a - 1].azimuth))
        throw HrtfDataError(Format("ring at elevation %g: azimuth %g does not ascend from %g",
                                   elevation, azimuth, double(ring.angles[a - 1].azimuth)));
      if (angle.left.size() != angle.right.size())
        throw HrtfDataError(
            Format("elevation %g, azimuth %g: left and right responses differ in "
                   "length (%zu and %zu)",
                   elevation, azimuth, angle.left.size(), angle.right.size()));
      const std::size_t n = angle.left.size();
      if (n < 4 || !IsPowerOfTwo(n) ||
          n > std::size_t(std::numeric_limits<std::int32_t>::max() / 8))
        throw HrtfDataError(
            Format("elevation %g, azimuth %g: the tap count %zu is not a power of "
                   "two of at least 4",
                   elevation, azimuth, n));
      CheckResponse(angle.left, "left", ring, angle);
      CheckResponse(angle.right, "right", ring, angle);
    }
  }
  if (!(set.samplingRate >= kHrtfMinRate && set.samplingRate <= kHrtfMaxRate))
    throw HrtfDataError(Format("the sampling rate %g Hz lies outside [%g, %g]", set.samplingRate,
                               kHrtfMinRate, kHrtfMaxRate));
}

HrtfSet LoadHrtfSet(const void* data, std::size_t size) {
  HrtfSet set = ReadHrtfRecords(data, size);
  ValidateHrtfSet(set);
  return set;
}

std::size_t HrtfRecordsSize(const HrtfSet& set) {
  std::size_t size = kHrtfFileHeaderSize;
  for (const HrtfRing& ring : set.rings) {
    size += kHrtfRingHeaderSize;
    for (const HrtfAngle& angle : ring.angles)
      size += kHrtfAngleHeaderSize + 4 * (angle.left.size() + angle.right.size());
  }
  if (set.samplingRate != kHrtfDefaultRate) size += kHrtfRateRecordSize;
  return size;
}

std::vector<unsigned char> WriteHrtfRecords(const HrtfSet& set) {
  ValidateHrtfSet(set);
  std::vector<unsigned char> out;
  out.reserve(HrtfRecordsSize(set));
  for (char c : kHrtfSignature) out.push_back(static_cast<unsigned char>(c));
  PutU32(out, static_cast<std::uint32_t>(set.rings.size()));
  for (const HrtfRing& ring : set.rings) {
    PutF32(out, ring.elevation);
    PutU32(out, static_cast<std::uint32_t>(ring.angles.size()));
    for (const HrtfAngle& angle : ring.angles) {
      PutF32(out, angle.azimuth);
      PutU32(out, static_cast<std::uint32_t>(angle.left.size()));
      for (float v : angle.left) PutF32(out, v);
      for (float v : angle.right) PutF32(out, v);
    }
  }
  if (set.samplingRate != kHrtfDefaultRate) {
    for (char c : kHrtfRateTag) out.push_back(static_cast<unsigned char>(c));
    PutF64(out, set.samplingRate);
  }
  return out;
}

HrtfSet ResampleHrtfSet(HrtfSet set, double samplingRate) {
  if (!(samplingRate >= kHrtfMinRate && samplingRate <= kHrtfMaxRate))
    throw Exception("Cannot resample HRTF data to %g Hz: the rate lies outside [%g, %g].",
                    samplingRate, kHrtfMinRate, kHrtfMaxRate);
  if (samplingRate == set.samplingRate) return set;
  const Resampler resampler(set.samplingRate, samplingRate);
  const double ratio = samplingRate / set.samplingRate;
  // One plan per tap count: outputs 0 .. N' - 1 on the input's time axis.
  // What the band limit rings before the first sample is left out, equally
  // for both ears, so interaural delays stay.
  std::map<std::size_t, Resampler::Plan> plans;
  std::vector<float> resampled;
  for (HrtfRing& ring : set.rings) {
    for (HrtfAngle& angle : ring.angles) {
      const std::size_t n = angle.left.size();
      auto plan = plans.find(n);
      if (plan == plans.end()) {
        std::size_t taps = 4;
        while (static_cast<double>(taps) < std::ceil(static_cast<double>(n) * ratio - 1e-9))
          taps *= 2;
        plan = plans.emplace(n, resampler.MakePlan(0.0, 0, taps)).first;
      }
      resampled.resize(plan->second.OutputLength());
      for (std::vector<float>* response : {&angle.left, &angle.right}) {
        plan->second.Apply(response->data(), response->size(), resampled.data());
        response->assign(resampled.begin(), resampled.end());
      }
    }
  }
  set.samplingRate = samplingRate;
  return set;
}

}  // namespace orv
