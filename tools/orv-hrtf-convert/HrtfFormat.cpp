#include "HrtfFormat.h"

#include "Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

namespace orvhrtf {

namespace {

bool IsPowerOfTwo(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

// Little-endian field access, independent of the host's byte order.
void PutU32(std::vector<unsigned char>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}
void PutI32(std::vector<unsigned char>& out, std::int32_t value) {
  PutU32(out, static_cast<std::uint32_t>(value));
}
void PutF32(std::vector<unsigned char>& out, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  PutU32(out, bits);
}
std::uint32_t GetU32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}
std::int32_t GetI32(const unsigned char* p) { return static_cast<std::int32_t>(GetU32(p)); }
float GetF32(const unsigned char* p) {
  std::uint32_t bits = GetU32(p);
  float value;
  std::memcpy(&value, &bits, 4);
  return value;
}

void CheckResponse(const std::vector<float>& response, const char* ear, const Ring& ring,
                   const Angle& angle) {
  for (std::size_t i = 0; i < response.size(); ++i) {
    float v = response[i];
    if (!(v >= -1.f && v <= 1.f)) {
      throw FormatError(Format("%s response at elevation %g, azimuth %g: sample %zu is %g, "
                               "outside [-1, 1]",
                               ear, ring.elevation, angle.azimuth, i, v));
    }
  }
}

// Reads sequentially from a byte range and reports the field that runs past it.
class Cursor {
 public:
  Cursor(const unsigned char* data, std::size_t size) : data(data), size(size) {}

  const unsigned char* Take(std::size_t count, const std::string& what) {
    if (size - offset < count) {
      throw FormatError(Format("truncated: %s at offset %zu needs %zu bytes, %zu remain",
                               what.c_str(), offset, count, size - offset));
    }
    const unsigned char* p = data + offset;
    offset += count;
    return p;
  }
  std::size_t Remaining() const { return size - offset; }

 private:
  const unsigned char* data;
  std::size_t size;
  std::size_t offset = 0;
};

}  // namespace

std::size_t HrtfSet::AngleCount() const {
  std::size_t count = 0;
  for (const Ring& ring : rings) count += ring.angles.size();
  return count;
}

const Angle* HrtfSet::Find(float elevation, float azimuth) const {
  for (const Ring& ring : rings) {
    if (ring.elevation != elevation) continue;
    for (const Angle& angle : ring.angles) {
      if (angle.azimuth == azimuth) return &angle;
    }
  }
  return nullptr;
}

void CheckHrtfSet(const HrtfSet& set) {
  if (set.rings.empty()) throw FormatError("the set has no rings");
  if (set.rings.size() > std::size_t(std::numeric_limits<std::int32_t>::max())) {
    throw FormatError("too many rings");
  }
  const std::size_t tapCount = set.rings.front().angles.empty()
                                   ? 0
                                   : set.rings.front().angles.front().left.size();
  for (std::size_t r = 0; r < set.rings.size(); ++r) {
    const Ring& ring = set.rings[r];
    if (!(ring.elevation >= -90.f && ring.elevation <= 90.f)) {
      throw FormatError(Format("ring %zu: elevation %g lies outside [-90, 90]", r, ring.elevation));
    }
    if (r > 0 && !(ring.elevation > set.rings[r - 1].elevation)) {
      throw FormatError(Format("ring %zu: elevation %g does not ascend from %g", r,
                               ring.elevation, set.rings[r - 1].elevation));
    }
    if (ring.angles.empty()) {
      throw FormatError(Format("ring at elevation %g has no angles", ring.elevation));
    }
    for (std::size_t a = 0; a < ring.angles.size(); ++a) {
      const Angle& angle = ring.angles[a];
      if (!(angle.azimuth >= 0.f && angle.azimuth <= 180.f)) {
        throw FormatError(Format("ring at elevation %g: azimuth %g lies outside [0, 180]",
                                 ring.elevation, angle.azimuth));
      }
      if (a > 0 && !(angle.azimuth > ring.angles[a - 1].azimuth)) {
        throw FormatError(Format("ring at elevation %g: azimuth %g does not ascend from %g",
                                 ring.elevation, angle.azimuth, ring.angles[a - 1].azimuth));
      }
      if (angle.left.size() != angle.right.size()) {
        throw FormatError(Format("elevation %g, azimuth %g: left and right responses differ "
                                 "in length (%zu and %zu)",
                                 ring.elevation, angle.azimuth, angle.left.size(),
                                 angle.right.size()));
      }
      if (angle.left.size() != tapCount) {
        throw FormatError(Format("elevation %g, azimuth %g: %zu taps where the set has %zu",
                                 ring.elevation, angle.azimuth, angle.left.size(), tapCount));
      }
      CheckResponse(angle.left, "left", ring, angle);
      CheckResponse(angle.right, "right", ring, angle);
    }
  }
  if (!IsPowerOfTwo(tapCount) || tapCount < 4 ||
      tapCount > std::size_t(std::numeric_limits<std::int32_t>::max() / 8)) {
    throw FormatError(Format("the tap count %zu is not a power of two of at least 4", tapCount));
  }
}

std::size_t EncodedSize(const HrtfSet& set) {
  std::size_t size = kFileHeaderSize;
  for (const Ring& ring : set.rings) {
    size += kRingHeaderSize;
    for (const Angle& angle : ring.angles) {
      size += kAngleHeaderSize + 4 * (angle.left.size() + angle.right.size());
    }
  }
  return size;
}

std::vector<unsigned char> EncodeHrtfSet(const HrtfSet& set) {
  CheckHrtfSet(set);
  std::vector<unsigned char> out;
  out.reserve(EncodedSize(set));
  out.insert(out.end(), kSignature, kSignature + sizeof kSignature);
  PutI32(out, static_cast<std::int32_t>(set.rings.size()));
  for (const Ring& ring : set.rings) {
    PutF32(out, ring.elevation);
    PutI32(out, static_cast<std::int32_t>(ring.angles.size()));
    for (const Angle& angle : ring.angles) {
      PutF32(out, angle.azimuth);
      PutI32(out, static_cast<std::int32_t>(angle.left.size()));
      for (float v : angle.left) PutF32(out, v);
      for (float v : angle.right) PutF32(out, v);
    }
  }
  return out;
}

HrtfSet DecodeHrtfSet(const unsigned char* data, std::size_t size, std::size_t* trailingBytes) {
  if (size < sizeof kSignature || std::memcmp(data, kSignature, sizeof kSignature) != 0) {
    throw FormatError("wrong signature: the data does not start with \"ORVHRTFD\"");
  }
  Cursor cursor(data, size);
  cursor.Take(sizeof kSignature, "signature");
  const std::int32_t ringCount = GetI32(cursor.Take(4, "ring count"));
  if (ringCount < 0) throw FormatError(Format("negative ring count %d", ringCount));

  // Records are appended as they are read, so a huge count in a short file
  // ends in a truncation error, not in a huge allocation.
  HrtfSet set;
  for (std::int32_t r = 0; r < ringCount; ++r) {
    Ring& ring = set.rings.emplace_back();
    const unsigned char* header = cursor.Take(kRingHeaderSize, Format("header of ring %d", r));
    ring.elevation = GetF32(header);
    const std::int32_t angleCount = GetI32(header + 4);
    if (angleCount < 0) {
      throw FormatError(Format("ring %d: negative angle count %d", r, angleCount));
    }
    for (std::int32_t a = 0; a < angleCount; ++a) {
      const unsigned char* angleHeader =
          cursor.Take(kAngleHeaderSize, Format("header of ring %d, angle %d", r, a));
      Angle angle;
      angle.azimuth = GetF32(angleHeader);
      const std::int32_t tapCount = GetI32(angleHeader + 4);
      if (tapCount < 0) {
        throw FormatError(Format("ring %d, angle %d: negative tap count %d", r, a, tapCount));
      }
      const std::size_t bytes = 4 * std::size_t(tapCount);
      const unsigned char* left = cursor.Take(bytes, Format("left response of ring %d, angle %d", r, a));
      const unsigned char* right =
          cursor.Take(bytes, Format("right response of ring %d, angle %d", r, a));
      angle.left.resize(std::size_t(tapCount));
      angle.right.resize(std::size_t(tapCount));
      for (std::int32_t i = 0; i < tapCount; ++i) {
        angle.left[std::size_t(i)] = GetF32(left + 4 * i);
        angle.right[std::size_t(i)] = GetF32(right + 4 * i);
      }
      ring.angles.push_back(std::move(angle));
    }
  }
  if (trailingBytes) *trailingBytes = cursor.Remaining();
  return set;
}

double Energy(const std::vector<float>& response) {
  double sum = 0.0;
  for (float v : response) sum += double(v) * double(v);
  return sum;
}

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    throw std::runtime_error(Format("cannot open '%s': %s", path.c_str(), std::strerror(errno)));
  }
  std::vector<unsigned char> bytes;
  unsigned char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) {
    throw std::runtime_error(Format("cannot read '%s': %s", path.c_str(), std::strerror(error)));
  }
  return bytes;
}

void WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    throw std::runtime_error(
        Format("cannot create a file beside '%s': %s", path.c_str(), std::strerror(errno)));
  }
  auto fail = [&](const char* what) {
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    throw std::runtime_error(Format("cannot %s '%s': %s", what, path.c_str(), std::strerror(error)));
  };
  // mkstemp makes the file private; give it the permissions a plain create would.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd, 0666 & ~mask) != 0) fail("set the permissions of");
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("write");
    }
    written += std::size_t(n);
  }
  if (::fsync(fd) != 0) fail("write");
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw std::runtime_error(Format("cannot write '%s': %s", path.c_str(), std::strerror(error)));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw std::runtime_error(Format("cannot write '%s': %s", path.c_str(), std::strerror(error)));
  }
}

}  // namespace orvhrtf
