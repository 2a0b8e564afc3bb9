// The rendered file. Written to a temporary file beside the output path and
// renamed over it only when complete, so that a failed or interrupted render
// leaves nothing half-written (and an older file at that path untouched).
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <optional>
#include <string>

namespace orvrender {

// Sample formats a user may ask for instead of the extension's own.
enum class SampleFormat { Float, Pcm16, Pcm24 };

// The libsndfile format for a path's extension: 32-bit float for .wav and the
// other containers that hold floats, 24-bit for .flac, Vorbis for .ogg. A
// sample format replaces the extension's where the container can hold it.
// Throws UserError for an extension it does not know, or a sample format
// the container cannot hold.
int FormatForPath(const std::string& path, std::optional<SampleFormat> sample = std::nullopt);

// Throws UserError when libsndfile cannot write the format at that rate
// (Opus, for one, takes only a few rates).
void CheckWritable(const std::string& path, int format, int sampleRate, int channels);

class OutputFile {
 public:
  // format: as FormatForPath gives it. Throws UserError.
  OutputFile(const std::string& path, int format, int sampleRate, int channels);
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
