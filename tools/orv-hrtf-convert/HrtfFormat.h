// The ORVHRTFD data format as the tools see it: the library's own set,
// reader, rules and writer (spatializer/OrvSpatializer_HrtfSet.h), so that
// whatever the tool writes the library loads, and the reverse; failures as
// FormatError with the library's description of the problem.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "spatializer/OrvSpatializer_HrtfSet.h"

namespace orvhrtf {

using Angle = orv::HrtfAngle;
using Ring = orv::HrtfRing;
using HrtfSet = orv::HrtfSet;

inline constexpr const char (&kSignature)[8] = orv::kHrtfSignature;
inline constexpr std::size_t kFileHeaderSize = orv::kHrtfFileHeaderSize;
inline constexpr std::size_t kRingHeaderSize = orv::kHrtfRingHeaderSize;
inline constexpr std::size_t kAngleHeaderSize = orv::kHrtfAngleHeaderSize;

// A data set that breaks the format or one of the rules the renderer needs.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The library's rules (orv::ValidateHrtfSet); throws FormatError naming the
// first broken one.
void CheckHrtfSet(const HrtfSet& set);

// Number of bytes the records of `set` occupy (the rate record included).
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
