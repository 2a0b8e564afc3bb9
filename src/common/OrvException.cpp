#include "common/OrvException.h"

#include <cstdarg>
#include <cstdio>

namespace orv {

std::string FormatV(const char* format, va_list args) {
  char text[4096];
  std::vsnprintf(text, sizeof text, format, args);
  return text;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  return text;
}

Exception::Exception(const char* format, ...) {
  va_list args;
  va_start(args, format);
  message = FormatV(format, args);
  va_end(args);
}

}  // namespace orv
