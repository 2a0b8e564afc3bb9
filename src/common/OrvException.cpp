#include "common/OrvException.h"

#include <cstdarg>
#include <cstdio>

namespace orv {

Exception::Exception(const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  message = text;
}

}  // namespace orv
