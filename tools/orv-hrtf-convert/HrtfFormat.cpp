#include "HrtfFormat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "Text.h"

namespace orvhrtf {

namespace {

// Runs a library call, turning its data errors into the tool's.
template <typename Call>
auto Translated(const Call& call) {
  try {
    return call();
  } catch (const orv::HrtfDataError& error) {
    throw FormatError(error.Detail());
  }
}

}  // namespace

void CheckHrtfSet(const HrtfSet& set) {
  Translated([&] {
    orv::ValidateHrtfSet(set);
    return 0;
  });
}

std::size_t EncodedSize(const HrtfSet& set) { return orv::HrtfRecordsSize(set); }

std::vector<unsigned char> EncodeHrtfSet(const HrtfSet& set) {
  return Translated([&] { return orv::WriteHrtfRecords(set); });
}

HrtfSet DecodeHrtfSet(const unsigned char* data, std::size_t size, std::size_t* trailingBytes) {
  return Translated([&] { return orv::ReadHrtfRecords(data, size, trailingBytes); });
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
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + n);
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
    throw std::runtime_error(
        Format("cannot %s '%s': %s", what, path.c_str(), std::strerror(error)));
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
