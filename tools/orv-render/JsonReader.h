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
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
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

// Where the keys and values of a parsed document begin in its text.
class SourceMap {
 public:
  struct Place {
    std::size_t line = 1, column = 1;  // both from 1; the column counts bytes
  };

  std::size_t RootOffset() const { return rootOffset; }
  // Of the index-th item of an array, or the value of an object's index-th member.
  std::size_t ValueOffset(const Json& container, std::size_t index) const;
  std::size_t KeyOffset(const Json& object, std::size_t index) const;
  Place Locate(std::size_t offset) const;

 private:
  friend class DocumentBuilder;
  std::size_t rootOffset = 0;
  // Per container (by its storage, which stays put when the value moves):
  // arrays hold one offset per item, objects a key and a value per member.
  std::unordered_map<const void*, std::vector<std::size_t>> offsets;
  std::vector<std::size_t> lineStarts{0};
};

// A mistake in a document: where it begins and what it is ("$.x: ...").
struct Problem {
  std::size_t offset = 0;
  std::string message;
};

// Mistakes found so far, to be reported together in the order of the file.
class Problems {
 public:
  static constexpr std::size_t kMaxShown = 20;

  void Add(std::size_t offset, std::string message);
  std::size_t Count() const { return problems.size(); }
  bool Empty() const { return problems.empty(); }
  // One line per mistake, "file:line:column: message", in file order; past
  // kMaxShown, "and N more".
  std::string Report(const std::string& file, const SourceMap& map) const;

 private:
  std::vector<Problem> problems;
};

// A mistake at one place, thrown by the readers below and collected by Attempt.
class JsonMistake : public std::runtime_error {
 public:
  JsonMistake(std::size_t offset, const std::string& message)
      : std::runtime_error(message), offset(offset) {}
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

// A parsed document with the places of its values. Keys given twice are in
// problems, each naming both places; the value kept is the last.
struct Document {
  Json root;
  SourceMap map;
  Problems problems;
};

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

// Parses a document in time linear in its size (nlohmann's ordered parse
// searches every object's keys for each new one). As there, a repeated key
// keeps its first place and its last value. Throws Json::parse_error, and
// UserError for a number too large for a double.
Document ParseDocument(const std::string& text);
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
