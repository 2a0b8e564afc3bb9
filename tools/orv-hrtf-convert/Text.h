// printf-style formatting into a std::string, for the tool's messages.
#pragma once

#include <string>

namespace orvhrtf {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace orvhrtf
