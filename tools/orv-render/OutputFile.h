// The rendered file. Written to a temporary file beside the output path and
// renamed over it only when complete, so that a failed or interrupted render
// leaves nothing half-written (and an older file at that path untouched).
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>

namespace orvrender {

// The libsndfile format for a path's extension: 32-bit float for .wav and the
// other containers that hold floats, 24-bit for .flac, Vorbis for .ogg.
// Throws UserError for an extension it does not know.
int FormatForPath(const std::string& path);

class OutputFile {
 public:
  OutputFile(const std::string& path, int sampleRate, int channels);  // throws UserError
  ~OutputFile();  // removes the temporary file unless Commit succeeded
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void Write(const float* interleaved, std::int64_t frames);
  // Finishes the file and moves it to its path.
  void Commit();

  const std::string& Path() const { return path; }
  const std::string& FormatName() const { return formatName; }

 private:
  std::string path;
  std::string temporaryPath;
  std::string formatName;
  SNDFILE* file = nullptr;
  bool isCommitted = false;
};

}  // namespace orvrender
