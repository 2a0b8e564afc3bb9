// Reads parsed JSON field by field while keeping the path and the place in
// the text of every value, so that each mistake names both
// ("scene.json:12:20: $.events[2].volume: ..."), and rejects keys that the
// reader does not know (a misspelt key must not pass silently) and keys given
// twice. Mistakes are collected, so that one run reports them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "JsonDocument.h"
#include "UserError.h"
#include "Vec3.h"

namespace orvrender {

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

// A mistake at one place, thrown by the readers below and collected by Attempt.
class JsonMistake : public UserError {
 public:
  JsonMistake(std::size_t offset, const std::string& message)
      : UserError(message), offset(offset) {}
  std::size_t offset;
};

// Runs one read; a mistake in it is noted and reading goes on with the next.
// Returns whether the read succeeded.
template <typename Read>
bool Attempt(Problems& problems, Read&& read) {
  try {
    read();
    return true;
  } catch (const JsonMistake& mistake) {
    problems.Add(mistake.offset, mistake.what());
    return false;
  }
}

class JsonObject;

// One value with its path and place. Accessors throw JsonMistake naming the
// path; unknown keys of an object go straight to the document's problems.
class JsonValue {
 public:
  JsonValue(const Json& value, std::string path, std::size_t offset, Document& document);

  const std::string& Path() const { return path; }
  std::size_t Offset() const { return offset; }
  const Json& Raw() const { return *value; }

  double Number(Range range = Range::Any()) const;
  std::int64_t Integer(Range range = Range::Any()) const;
  bool Boolean() const;
  std::string String() const;
  // One of the given words.
  std::string Choice(std::initializer_list<std::string_view> choices) const;
  // [x, y, z], each coordinate in range.
  Vec3 Vector(Range range = Range::Any()) const;
  std::vector<JsonValue> Array() const;
  // An object; each key not among knownKeys is noted as a problem.
  JsonObject Object(std::initializer_list<std::string_view> knownKeys) const;
  // An object whose keys are names the caller gives meaning to.
  JsonObject AnyObject() const;

  [[noreturn]] void Fail(const std::string& what) const;

 private:
  const Json* value;
  std::string path;
  std::size_t offset;
  Document* document;
};

class JsonObject {
 public:
  // value must be an object.
  JsonObject(const Json& value, std::string path, std::size_t offset, Document& document);

  const std::string& Path() const { return path; }
  std::size_t Offset() const { return offset; }
  Document& Source() const { return *document; }
  bool Has(std::string_view key) const;
  std::optional<JsonValue> Find(std::string_view key) const;
  // Fails with "missing key" when absent.
  JsonValue Get(std::string_view key) const;
  // Members in document order.
  std::vector<std::pair<std::string, JsonValue>> Members() const;

  // An optional member; a mistake in it is noted and the fallback returned.
  double Number(std::string_view key, double fallback, Range range = Range::Any()) const;
  std::int64_t Integer(std::string_view key, std::int64_t fallback,
                       Range range = Range::Any()) const;

  [[noreturn]] void Fail(const std::string& what) const;

 private:
  JsonValue Member(std::size_t index) const;

  const Json* value;
  std::string path;
  std::size_t offset;
  Document* document;
};

// The closest of the candidates to a misspelt word, or "" when none is close.
std::string ClosestWord(std::string_view word, const std::vector<std::string_view>& candidates);

// Formats a number the way the scene file would show it.
std::string FormatNumber(double x);

}  // namespace orvrender
