// A JSON document parsed with the place of every key and value in its text,
// and the mistakes found in it, to be reported together with their places.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orvrender {

// Keys keep their document order, so that errors and sound lists follow the file.
using Json = nlohmann::ordered_json;

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

// A parsed document with the places of its values. Keys given twice are in
// problems, each naming both places; the value kept is the last.
struct Document {
  Json root;
  SourceMap map;
  Problems problems;
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

// An object's members as the vector ordered_map is, for access by index.
const Json::object_t::Container& MembersOf(const Json& object);

}  // namespace orvrender
