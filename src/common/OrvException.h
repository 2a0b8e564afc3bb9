// The library's error type: one message text, formatted printf-style.
// Every table function turns it into the host's CheckError text.
#pragma once

#include <cstdarg>
#include <exception>
#include <string>

namespace orv {

// printf-style formatting into a string of at most 4096 bytes (terminator
// included); longer texts are cut. Allocates: not for the render path.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

class Exception : public std::exception {
 public:
  // Formats into at most 4096 bytes (terminator included); longer texts are cut.
  explicit Exception(const char* format, ...) __attribute__((format(printf, 2, 3)));

  const char* what() const noexcept override { return message.c_str(); }

 private:
  std::string message;
};

}  // namespace orv
