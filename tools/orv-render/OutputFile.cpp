#include "OutputFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "UserError.h"

namespace orvrender {

namespace {

struct FormatChoice {
  const char* extension;
  int format;
};

const FormatChoice kFormats[] = {
    {"wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
    {"wave", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
    {"w64", SF_FORMAT_W64 | SF_FORMAT_FLOAT},
    {"rf64", SF_FORMAT_RF64 | SF_FORMAT_FLOAT},
    {"aif", SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
    {"aiff", SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
    {"aifc", SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
    {"au", SF_FORMAT_AU | SF_FORMAT_FLOAT},
    {"snd", SF_FORMAT_AU | SF_FORMAT_FLOAT},
    {"caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT},
    {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
    {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
    {"oga", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
    {"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
    {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
};

std::string Extension(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  // A leading dot marks a hidden name, not an extension.
  if (dot == std::string::npos || dot <= nameStart) return "";
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

// libsndfile's name of a container or of a sample format.
std::string Name(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info);
  return info.name ? info.name : "?";
}

std::string Describe(int format) {
  return Name(format & SF_FORMAT_TYPEMASK) + ", " + Name(format & SF_FORMAT_SUBMASK);
}

}  // namespace

int FormatForPath(const std::string& path, std::optional<SampleFormat> sample) {
  const std::string ext = Extension(path);
  for (const FormatChoice& f : kFormats) {
    if (ext != f.extension) continue;
    if (!sample) return f.format;
    const int subtype = *sample == SampleFormat::Float   ? SF_FORMAT_FLOAT
                        : *sample == SampleFormat::Pcm16 ? SF_FORMAT_PCM_16
                                                         : SF_FORMAT_PCM_24;
    const int format = (f.format & SF_FORMAT_TYPEMASK) | subtype;
    // Any rate the tool renders at will do: this asks only about the pairing.
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = format;
    if (!sf_format_check(&info))
      throw UserError("'" + path + "': " + Name(f.format & SF_FORMAT_TYPEMASK) +
                      " files cannot hold " + Name(subtype) +
                      " samples; leave out --format or choose another");
    return format;
  }
  std::string known;
  for (const FormatChoice& f : kFormats)
    known += std::string(known.empty() ? "" : ", ") + "." + f.extension;
  throw UserError(
      "'" + path + "': cannot tell the sound format from " +
      (ext.empty() ? std::string("a name without extension") : "the extension '." + ext + "'") +
      "; use one of " + known);
}

// A file that takes whatever is written and keeps nothing: libsndfile checks
// some pairings (Opus and its rates) only when it opens a file for writing.
struct NullFile {
  sf_count_t position = 0, length = 0;

  static sf_count_t Length(void* self) { return static_cast<NullFile*>(self)->length; }
  static sf_count_t Seek(sf_count_t offset, int whence, void* self) {
    NullFile& f = *static_cast<NullFile*>(self);
    f.position = whence == SEEK_SET   ? offset
                 : whence == SEEK_CUR ? f.position + offset
                                      : f.length + offset;
    return f.position;
  }
  static sf_count_t Read(void*, sf_count_t, void*) { return 0; }
  static sf_count_t Write(const void*, sf_count_t count, void* self) {
    NullFile& f = *static_cast<NullFile*>(self);
    f.position += count;
    f.length = std::max(f.length, f.position);
    return count;
  }
  static sf_count_t Tell(void* self) { return static_cast<NullFile*>(self)->position; }
};

void CheckWritable(const std::string& path, int format, int sampleRate, int channels) {
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = channels;
  info.format = format;
  if (!sf_format_check(&info))
    throw UserError("'" + path + "': this libsndfile cannot write " + Describe(format) + " at " +
                    std::to_string(sampleRate) + " Hz");
  SF_VIRTUAL_IO io{&NullFile::Length, &NullFile::Seek, &NullFile::Read, &NullFile::Write,
                   &NullFile::Tell};
  NullFile sink;
  SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &sink);
  if (!file) throw UserError("cannot write '" + path + "': " + sf_strerror(nullptr));
  sf_close(file);
}

OutputFile::OutputFile(const std::string& path, int format, int sampleRate, int channels)
    : path(path) {
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = channels;
  info.format = format;
  formatName = Describe(info.format);
  CheckWritable(path, format, sampleRate, channels);

  struct stat status {};
  if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
    throw UserError("'" + path + "': the output path is a folder");

  // The temporary file lives in the same folder, so the final rename stays
  // on one file system and is atomic.
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::vector<char> pattern(folder.begin(), folder.end());
  const std::string tail = "." + name + ".orv-render-XXXXXX";
  pattern.insert(pattern.end(), tail.begin(), tail.end());
  pattern.push_back('\0');
  const int fd = mkstemp(pattern.data());
  if (fd < 0) throw UserError("cannot write '" + path + "': " + std::strerror(errno));
  temporaryPath = pattern.data();
  // mkstemp makes the file private; give it the usual permissions.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);

  file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
  if (!file) {
    const std::string error = sf_strerror(nullptr);
    close(fd);
    std::remove(temporaryPath.c_str());
    throw UserError("cannot write '" + path + "': " + error);
  }
  // Integer formats: clip instead of wrapping around.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  // The PEAK chunk of float files carries the time of writing; without it
  // two renders of one scene are the same file, byte for byte.
  sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
}

OutputFile::~OutputFile() {
  if (file) sf_close(file);
  if (!isCommitted && !temporaryPath.empty()) std::remove(temporaryPath.c_str());
}

void OutputFile::Write(const float* interleaved, std::int64_t frames) {
  if (sf_writef_float(file, interleaved, frames) != frames)
    throw UserError("cannot write '" + path + "': " + sf_strerror(file));
}

void OutputFile::Commit() {
  const int status = sf_close(file);
  file = nullptr;
  if (status != 0) throw UserError("cannot write '" + path + "': " + sf_error_number(status));
  if (std::rename(temporaryPath.c_str(), path.c_str()) != 0)
    throw UserError("cannot write '" + path + "': " + std::strerror(errno));
  isCommitted = true;
}

}  // namespace orvrender
