// The ORVHRTFD data format: one set of head-related impulse responses in
// memory, its reader, its rules, its writer and its resampling to another
// rate. The spatializer loads through it, and so does every tool, so one set
// of rules holds wherever a set is made or read.
//
// Layout (little-endian, packed): "ORVHRTFD", int32 ringCount, then per ring
// float32 elevation, int32 angleCount, then per angle float32 azimuth,
// int32 tapCount N, float32 left[N], float32 right[N]. After the last ring an
// optional rate record: "RATE", float64 sampling rate in Hz. A set without it
// is at 48 kHz, so sets written before the record existed read as they always
// did, and 48 kHz sets are written without it. Any other bytes after the last
// ring are not read.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/OrvException.h"

namespace orv {

inline constexpr char kHrtfSignature[8] = {'O', 'R', 'V', 'H', 'R', 'T', 'F', 'D'};
inline constexpr char kHrtfRateTag[4] = {'R', 'A', 'T', 'E'};
inline constexpr std::size_t kHrtfFileHeaderSize = 12;
inline constexpr std::size_t kHrtfRingHeaderSize = 8;
inline constexpr std::size_t kHrtfAngleHeaderSize = 8;
inline constexpr std::size_t kHrtfRateRecordSize = 12;
inline constexpr double kHrtfDefaultRate = 48000.0;
// Rates a set may be made at and resampled to; the bounds keep a resampled
// set's size within reason.
inline constexpr double kHrtfMinRate = 1000.0;
inline constexpr double kHrtfMaxRate = 1000000.0;

struct HrtfAngle {
  float azimuth = 0.0f;      // degrees, 0 ahead, 90 right, 180 behind
  std::vector<float> left;   // left-ear impulse response
  std::vector<float> right;  // right-ear impulse response, same length
};

struct HrtfRing {
  float elevation = 0.0f;  // degrees, negative below the horizontal plane
  std::vector<HrtfAngle> angles;
};

struct HrtfSet {
  double samplingRate = kHrtfDefaultRate;  // Hz of the responses
  std::vector<HrtfRing> rings;

  std::size_t AngleCount() const;
  // The angle stored at exactly (elevation, azimuth), or nullptr.
  const HrtfAngle* Find(float elevation, float azimuth) const;
};

// Bad ORVHRTFD data. what() is "Invalid ORV HRTF data: <detail>."; Detail()
// names the problem alone, for tools that word their own messages.
class HrtfDataError : public Exception {
 public:
  explicit HrtfDataError(const std::string& detail);
  const std::string& Detail() const noexcept { return detail; }

 private:
  std::string detail;
};

// The records of data: throws HrtfDataError for a wrong signature, a negative
// count or a record that runs past size, before allocating for it. The rules
// are not applied, so broken sets can still be inspected. trailingBytes gets
// the number of unread bytes after the records (the rate record is one).
HrtfSet ReadHrtfRecords(const void* data, std::size_t size, std::size_t* trailingBytes = nullptr);

// Throws HrtfDataError naming the first broken rule: at least one ring and one
// angle per ring; elevations in [-90, 90] and strictly ascending (the nearest
// ring is found by a search over them); azimuths in [0, 180] and strictly
// ascending within a ring; tap counts powers of two of at least 4 (the
// convolver's transform sizes; rings may differ); left and right of equal
// length; every sample within [-1, 1]; the rate within [kHrtfMinRate,
// kHrtfMaxRate].
void ValidateHrtfSet(const HrtfSet& set);

// ReadHrtfRecords, then ValidateHrtfSet: what every load does.
HrtfSet LoadHrtfSet(const void* data, std::size_t size);

// Bytes WriteHrtfRecords makes of set.
std::size_t HrtfRecordsSize(const HrtfSet& set);

// The records of set, after ValidateHrtfSet.
std::vector<unsigned char> WriteHrtfRecords(const HrtfSet& set);

// The set at samplingRate: every response band-limited and resampled with
// its transfer function kept, so delays in seconds and spectra stay those of
// the set. A tap count N becomes the power of two (at least 4) that holds
// N * samplingRate / set.samplingRate taps; the rest are the band limit's
// ringing or zeros. The equal rate returns the set unchanged. Throws
// Exception for a rate outside [kHrtfMinRate, kHrtfMaxRate].
HrtfSet ResampleHrtfSet(HrtfSet set, double samplingRate);

}  // namespace orv
