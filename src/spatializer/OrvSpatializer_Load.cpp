// Parsing and validating the ORVHRTFD data format.
//
// File:  "ORVHRTFD", int32 ringCount, ringCount rings.
// Ring:  float32 elevation, int32 angleCount, angleCount angles.
// Angle: float32 azimuth, int32 tapCount N, float32 left[N], float32 right[N].
// Little-endian, packed. Bytes after the last ring are not read.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/OrvBits.h"
#include "common/OrvException.h"
#include "spatializer/OrvSpatializer.h"

namespace orv {
namespace {

constexpr char kSignature[8] = {'O', 'R', 'V', 'H', 'R', 'T', 'F', 'D'};

[[noreturn]] void Truncated() { throw Exception("Invalid ORV HRTF data: file truncated."); }
[[noreturn]] void BadData() { throw Exception("Invalid ORV HRTF data: bad data."); }

// A forward-only reader over the data; every length test is done in 64 bits
// so that no count can wrap it.
class Reader {
 public:
  Reader(const char* data, std::size_t size) : cursor(data), remaining(size) {}

  std::uint64_t Remaining() const { return remaining; }

  template <typename T>
  T Peek(std::uint64_t at) const {
    T value;
    std::memcpy(&value, cursor + at, sizeof value);
    return value;
  }

  void Advance(std::uint64_t bytes) {
    cursor += bytes;
    remaining -= bytes;
  }

  const char* Cursor() const { return cursor; }

 private:
  const char* cursor;
  std::uint64_t remaining;
};

bool IsValidTapCount(std::int32_t n) { return n >= 4 && IsPowerOfTwo(n); }

bool IsValidSample(float v) { return !std::isnan(v) && v >= -1.0f && v <= 1.0f; }

}  // namespace

Spatializer::Angle::Angle(float angleAzimuth, const float* leftResponse,
                          const float* rightResponse, int taps, RealFFT& fft)
    : azimuth(angleAzimuth) {
  laneInputs.fill(-1);
  const std::size_t n = static_cast<std::size_t>(taps);
  const std::size_t stride = SpectrumStride(taps);
  spectra.resize(4 * stride);
  std::fill(spectra.begin(), spectra.end(), 0.0f);
  // Each response, zero-padded to the transform's 2N samples.
  AlignedArray<float> padded(2 * n);
  std::fill(padded.begin(), padded.end(), 0.0f);
  std::copy(leftResponse, leftResponse + n, padded.Data());
  fft.ForwardTransform(spectra.Data(), spectra.Data() + stride, padded.Data());
  std::copy(rightResponse, rightResponse + n, padded.Data());
  fft.ForwardTransform(spectra.Data() + 2 * stride, spectra.Data() + 3 * stride, padded.Data());
  for (auto& samples : hop) samples.assign(n, 0.0f);
}

Spatializer::Spatializer(const void* data, std::size_t size, double /*samplingRate*/) {
  LoadData(static_cast<const char*>(data), size);
}

Spatializer::~Spatializer() = default;

void Spatializer::LoadData(const char* data, std::size_t size) {
  if (size < 8 || std::memcmp(data, kSignature, sizeof kSignature) != 0)
    throw Exception("Invalid ORV HRTF data: wrong signature.");
  if (size < 12) Truncated();
  Reader reader(data, size);
  const std::int32_t ringCount = reader.Peek<std::int32_t>(8);
  if (ringCount <= 0) return;
  reader.Advance(12);

  std::size_t totalAngles = 0;
  std::vector<float> left, right;
  for (std::int32_t r = 0; r < ringCount; ++r) {
    auto ring = std::make_shared<Ring>();
    if (reader.Remaining() < 4) Truncated();
    ring->elevation = reader.Peek<float>(0);
    // A direction must be a number: the nearest-key search has no answer for NaN.
    if (!std::isfinite(ring->elevation)) BadData();
    if (reader.Remaining() < 8) Truncated();
    const std::int32_t angleCount = reader.Peek<std::int32_t>(4);
    reader.Advance(8);

    for (std::int32_t a = 0; a < angleCount; ++a) {
      if (reader.Remaining() < 4) Truncated();
      const float azimuth = reader.Peek<float>(0);
      if (reader.Remaining() < 8) Truncated();
      if (!std::isfinite(azimuth)) BadData();
      const std::int32_t tapCount = reader.Peek<std::int32_t>(4);
      // Lengths first, in 64 bits, then the count's own validity, all before
      // anything is allocated.
      if (tapCount < 0) BadData();
      const std::uint64_t responseBytes = 4 * static_cast<std::uint64_t>(tapCount);
      if (reader.Remaining() - 8 < responseBytes) Truncated();
      if (reader.Remaining() - 8 - responseBytes < responseBytes) Truncated();
      if (!IsValidTapCount(tapCount)) BadData();

      left.resize(static_cast<std::size_t>(tapCount));
      right.resize(static_cast<std::size_t>(tapCount));
      std::memcpy(left.data(), reader.Cursor() + 8, responseBytes);
      std::memcpy(right.data(), reader.Cursor() + 8 + responseBytes, responseBytes);
      for (float v : left)
        if (!IsValidSample(v)) BadData();
      for (float v : right)
        if (!IsValidSample(v)) BadData();

      const std::size_t bank = BankFor(tapCount);
      ring->angles.push_back(
          std::make_shared<Angle>(azimuth, left.data(), right.data(), tapCount, banks[bank]->fft));
      ring->angles.back()->bank = bank;
      ring->azimuths.AddKey(azimuth);
      reader.Advance(8 + 2 * responseBytes);
    }
    totalAngles += ring->angles.size();
    rings.push_back(std::move(ring));
    elevations.AddKey(rings.back()->elevation);
  }
  // PrepareEndRender then never allocates.
  enabledAngles.reserve(totalAngles);
}

}  // namespace orv
