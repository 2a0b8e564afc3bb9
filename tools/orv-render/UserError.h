// The errors a user of orv-render meets. Their texts are complete sentences
// that name the place they are about (a file, a JSON path, an option).
#pragma once

#include <stdexcept>
#include <string>

namespace orvrender {

// A fault in the scene, its sounds, the output path or the library: exit status 1.
class UserError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A fault in the command line: exit status 2, followed by a hint to --help.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace orvrender
