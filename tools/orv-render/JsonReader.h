// Reads parsed JSON field by field while keeping the path of every value, so
// that each error names its place ("$.events[2].volume: ..."), and rejects
// keys that the reader does not know (a misspelt key must not pass silently).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Vec3.h"

namespace orvrender {

// Keys keep their document order, so that errors and sound lists follow the file.
using Json = nlohmann::ordered_json;

// Allowed interval of a number; either end may be open.
struct Range {
  double min = -std::numeric_limits<double>::infinity();
  double max = std::numeric_limits<double>::infinity();
  bool isMinOpen = false;
  bool isMaxOpen = false;

  static Range Any() { return {}; }
  static Range AtLeast(double min) { return {min, std::numeric_limits<double>::infinity()}; }
  static Range Above(double min) {
    return {min, std::numeric_limits<double>::infinity(), true, false};
  }
  static Range Between(double min, double max) { return {min, max}; }
  bool Contains(double x) const;
  std::string Describe() const;  // "greater than 0", "between 1 and 64", ...
};

class JsonObject;

// One value with its path. Every accessor throws UserError naming the path.
class JsonValue {
 public:
  JsonValue(const Json& value, std::string path);

  const std::string& Path() const { return path; }
  const Json& Raw() const { return *value; }

  double Number(Range range = Range::Any()) const;
  std::int64_t Integer(Range range = Range::Any()) const;
  bool Boolean() const;
  std::string String() const;
  // One of the given words.
  std::string Choice(std::initializer_list<std::string_view> choices) const;
  // [x, y, z]
  Vec3 Vector() const;
  std::vector<JsonValue> Array() const;
  // An object whose keys must all be among knownKeys.
  JsonObject Object(std::initializer_list<std::string_view> knownKeys) const;

  [[noreturn]] void Fail(const std::string& what) const;

 private:
  const Json* value;
  std::string path;
};

class JsonObject {
 public:
  JsonObject(const Json& value, std::string path);

  const std::string& Path() const { return path; }
  bool Has(std::string_view key) const;
  std::optional<JsonValue> Find(std::string_view key) const;
  // Fails with "missing key" when absent.
  JsonValue Get(std::string_view key) const;
  // Members in document order.
  std::vector<std::pair<std::string, JsonValue>> Members() const;

  double Number(std::string_view key, double fallback, Range range = Range::Any()) const;
  std::int64_t Integer(std::string_view key, std::int64_t fallback,
                       Range range = Range::Any()) const;

  [[noreturn]] void Fail(const std::string& what) const;

 private:
  const Json* value;
  std::string path;
};

// Parses a document in time linear in its size (nlohmann's ordered parse
// searches every object's keys for each new one). As there, a repeated key
// keeps its first place and its last value. Throws Json::parse_error, and
// UserError for a number too large for a double.
Json ParseJson(const std::string& text);

// Path of a member: "$.sounds" + "tick" -> "$.sounds.tick"; keys that are not
// plain identifiers are quoted: $.sounds["my sound"].
std::string MemberPath(const std::string& parent, std::string_view key);
std::string IndexPath(const std::string& parent, std::size_t index);

// The closest of the candidates to a misspelt word, or "" when none is close.
std::string ClosestWord(std::string_view word, const std::vector<std::string_view>& candidates);

// Formats a number the way the scene file would show it.
std::string FormatNumber(double x);

}  // namespace orvrender
