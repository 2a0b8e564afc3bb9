// The two command-line mistakes CLI11 words its own way, an option given
// without its value and a value given to a flag, read out of its exception
// so that each tool can say them in the style of its other messages.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace orvtools {

struct CliMistake {
  enum class Kind { kOther, kMissingValue, kValueForFlag };
  Kind kind = Kind::kOther;
  std::string option;  // with its dashes, for the two kinds above
};

inline CliMistake ReadCliMistake(const CLI::ParseError& e) {
  const std::string text = e.what();
  if (!dynamic_cast<const CLI::ArgumentMismatch*>(&e)) return {};
  // "--rate: 1 required TEXT missing"
  const std::size_t colon = text.find(':');
  if (colon != std::string::npos && text.size() > 8 &&
      text.compare(text.size() - 8, 8, " missing") == 0)
    return {CliMistake::Kind::kMissingValue, text.substr(0, colon)};
  // "quiet: ... flag override ..."
  if (text.find("flag override") != std::string::npos)
    return {CliMistake::Kind::kValueForFlag, "--" + text.substr(0, text.find(' '))};
  return {};
}

}  // namespace orvtools
