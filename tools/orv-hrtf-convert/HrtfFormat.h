// The ORVHRTFD data format as the tools see it: an in-memory set, a writer
// that refuses sets the spatializer could not use, and a strict reader.
//
// Layout (little-endian, packed): "ORVHRTFD", int32 ringCount, then per ring
// float32 elevation, int32 angleCount, then per angle float32 azimuth,
// int32 tapCount, float32[tapCount] left, float32[tapCount] right.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvhrtf {

inline constexpr char kSignature[8] = {'O', 'R', 'V', 'H', 'R', 'T', 'F', 'D'};
inline constexpr std::size_t kFileHeaderSize = 12;
inline constexpr std::size_t kRingHeaderSize = 8;
inline constexpr std::size_t kAngleHeaderSize = 8;

struct Angle {
  float azimuth = 0.f;       // degrees, 0 ahead, 90 right, 180 behind
  std::vector<float> left;   // left-ear impulse response
  std::vector<float> right;  // right-ear impulse response, same length
};

struct Ring {
  float elevation = 0.f;  // degrees, negative below the horizontal plane
  std::vector<Angle> angles;
};

struct HrtfSet {
  std::vector<Ring> rings;

  std::size_t AngleCount() const;
  // The angle stored at exactly (elevation, azimuth), or nullptr.
  const Angle* Find(float elevation, float azimuth) const;
};

// A data set that breaks the format or one of the rules the renderer needs.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws FormatError naming the first broken rule: at least one ring and one
// angle per ring; elevations in [-90, 90] and strictly ascending; azimuths in
// [0, 180] and strictly ascending within a ring; one tap count for the whole
// set, a power of two of at least 4; every sample finite and within [-1, 1].
void CheckHrtfSet(const HrtfSet& set);

// Number of bytes the records of `set` occupy.
std::size_t EncodedSize(const HrtfSet& set);

// The records of `set`, after CheckHrtfSet.
std::vector<unsigned char> EncodeHrtfSet(const HrtfSet& set);

// Parses the records of `data`. Throws FormatError for a wrong signature,
// a negative count or a record that runs past `size`; bytes after the last
// ring are allowed and their number is stored in `trailingBytes`. The rules of
// CheckHrtfSet are not applied here, so broken sets can still be inspected.
HrtfSet DecodeHrtfSet(const unsigned char* data, std::size_t size,
                      std::size_t* trailingBytes = nullptr);

// Sum of squares of a response.
double Energy(const std::vector<float>& response);

// Whole content of a file; throws std::runtime_error naming the file and the
// system's reason.
std::vector<unsigned char> ReadFileBytes(const std::string& path);

// Writes `bytes` to a temporary file beside `path` and renames it over
// `path`, so that `path` holds either its former content or all of `bytes`,
// never a part. Throws std::runtime_error; the temporary file is removed.
void WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes);

}  // namespace orvhrtf
