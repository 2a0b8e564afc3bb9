#include "JsonReader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "UserError.h"

namespace orvrender {

namespace {

const char* TypeName(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::object: return "an object";
    case Json::value_t::array: return "an array";
    case Json::value_t::string: return "a string";
    case Json::value_t::boolean: return "a boolean";
    case Json::value_t::binary: return "binary data";
    case Json::value_t::discarded: return "nothing";
    default: return "a number";
  }
}

std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string JoinWords(std::initializer_list<std::string_view> words) {
  std::string text;
  for (std::string_view w : words) {
    if (!text.empty()) text += ", ";
    text += w;
  }
  return text;
}

}  // namespace

bool Range::Contains(double x) const {
  if (std::isnan(x)) return false;
  if (isMinOpen ? !(x > min) : !(x >= min)) return false;
  if (isMaxOpen ? !(x < max) : !(x <= max)) return false;
  return true;
}

std::string Range::Describe() const {
  const bool hasMin = std::isfinite(min);
  const bool hasMax = std::isfinite(max);
  if (hasMin && hasMax && !isMinOpen && !isMaxOpen)
    return "between " + FormatNumber(min) + " and " + FormatNumber(max);
  std::string text;
  if (hasMin) text += (isMinOpen ? "greater than " : "at least ") + FormatNumber(min);
  if (hasMax) {
    if (!text.empty()) text += " and ";
    text += (isMaxOpen ? "less than " : "at most ") + FormatNumber(max);
  }
  return text.empty() ? "a finite number" : text;
}

std::string FormatNumber(double x) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", x);
  return text;
}

std::string ClosestWord(std::string_view word, const std::vector<std::string_view>& candidates) {
  // A typo is an edit or two, fewer in short words; farther is another word.
  std::string best;
  std::size_t bestDistance =
      std::min<std::size_t>(2, std::max<std::size_t>(1, word.size() / 3)) + 1;
  for (std::string_view c : candidates) {
    const std::size_t d = EditDistance(word, c);
    if (d < bestDistance) {
      bestDistance = d;
      best = c;
    }
  }
  return best;
}

// --- JsonValue ---------------------------------------------------------------

JsonValue::JsonValue(const Json& value, std::string path, std::size_t offset, Document& document)
    : value(&value), path(std::move(path)), offset(offset), document(&document) {}

void JsonValue::Fail(const std::string& what) const {
  throw JsonMistake(offset, path + ": " + what);
}

double JsonValue::Number(Range range) const {
  if (!value->is_number()) Fail(std::string("expected a number, found ") + TypeName(*value));
  const double x = value->get<double>();
  if (!range.Contains(x))
    Fail(FormatNumber(x) + " is out of range: it must be " + range.Describe());
  return x;
}

std::int64_t JsonValue::Integer(Range range) const {
  if (!value->is_number()) Fail(std::string("expected a whole number, found ") + TypeName(*value));
  const double x = value->get<double>();
  if (std::floor(x) != x) Fail("expected a whole number, found " + FormatNumber(x));
  if (!range.Contains(x))
    Fail(FormatNumber(x) + " is out of range: it must be " + range.Describe());
  if (std::fabs(x) > 9.0e15) Fail(FormatNumber(x) + " is too large");
  return static_cast<std::int64_t>(x);
}

bool JsonValue::Boolean() const {
  if (!value->is_boolean()) Fail(std::string("expected true or false, found ") + TypeName(*value));
  return value->get<bool>();
}

std::string JsonValue::String() const {
  if (!value->is_string()) Fail(std::string("expected a string, found ") + TypeName(*value));
  return value->get<std::string>();
}

std::string JsonValue::Choice(std::initializer_list<std::string_view> choices) const {
  const std::string word = String();
  for (std::string_view c : choices)
    if (word == c) return word;
  std::string message =
      "unknown value " + Json(word).dump() + "; expected one of: " + JoinWords(choices);
  const std::string closest = ClosestWord(word, choices);
  if (!closest.empty()) message += " (did you mean " + Json(closest).dump() + "?)";
  Fail(message);
}

Vec3 JsonValue::Vector(Range range) const {
  if (!value->is_array() || value->size() != 3)
    Fail(std::string("expected a vector [x, y, z], found ") +
         (value->is_array() ? "an array of " + std::to_string(value->size()) + " values"
                            : TypeName(*value)));
  const std::vector<JsonValue> items = Array();
  return {items[0].Number(range), items[1].Number(range), items[2].Number(range)};
}

std::vector<JsonValue> JsonValue::Array() const {
  if (!value->is_array()) Fail(std::string("expected an array, found ") + TypeName(*value));
  std::vector<JsonValue> items;
  items.reserve(value->size());
  for (std::size_t i = 0; i < value->size(); ++i)
    items.emplace_back((*value)[i], IndexPath(path, i), document->map.ValueOffset(*value, i),
                       *document);
  return items;
}

JsonObject JsonValue::AnyObject() const {
  if (!value->is_object()) Fail(std::string("expected an object, found ") + TypeName(*value));
  return JsonObject(*value, path, offset, *document);
}

JsonObject JsonValue::Object(std::initializer_list<std::string_view> knownKeys) const {
  const JsonObject object = AnyObject();
  const auto& members = MembersOf(*value);
  for (std::size_t i = 0; i < members.size(); ++i) {
    const std::string& key = members[i].first;
    if (std::find(knownKeys.begin(), knownKeys.end(), key) != knownKeys.end()) continue;
    std::string message = "unknown key";
    const std::string closest = ClosestWord(key, knownKeys);
    if (!closest.empty()) message += "; did you mean '" + closest + "'?";
    message += " (known keys here: " + JoinWords(knownKeys) + ")";
    document->problems.Add(document->map.KeyOffset(*value, i),
                           MemberPath(path, key) + ": " + message);
  }
  return object;
}

// --- JsonObject --------------------------------------------------------------

JsonObject::JsonObject(const Json& value, std::string path, std::size_t offset, Document& document)
    : value(&value), path(std::move(path)), offset(offset), document(&document) {}

void JsonObject::Fail(const std::string& what) const {
  throw JsonMistake(offset, path + ": " + what);
}

JsonValue JsonObject::Member(std::size_t index) const {
  const auto& members = MembersOf(*value);
  return JsonValue(members[index].second, MemberPath(path, members[index].first),
                   document->map.ValueOffset(*value, index), *document);
}

bool JsonObject::Has(std::string_view key) const { return value->contains(key); }

std::optional<JsonValue> JsonObject::Find(std::string_view key) const {
  const auto& members = MembersOf(*value);
  for (std::size_t i = 0; i < members.size(); ++i) {
    // ordered_map's own find is a linear search too; objects in a scene are small.
    if (members[i].first == key) return Member(i);
  }
  return std::nullopt;
}

JsonValue JsonObject::Get(std::string_view key) const {
  std::optional<JsonValue> found = Find(key);
  if (!found) Fail("missing key '" + std::string(key) + "'");
  return *found;
}

std::vector<std::pair<std::string, JsonValue>> JsonObject::Members() const {
  std::vector<std::pair<std::string, JsonValue>> members;
  const std::size_t count = MembersOf(*value).size();
  for (std::size_t i = 0; i < count; ++i)
    members.emplace_back(MembersOf(*value)[i].first, Member(i));
  return members;
}

double JsonObject::Number(std::string_view key, double fallback, Range range) const {
  double x = fallback;
  if (const std::optional<JsonValue> found = Find(key))
    Attempt(document->problems, [&] { x = found->Number(range); });
  return x;
}

std::int64_t JsonObject::Integer(std::string_view key, std::int64_t fallback, Range range) const {
  std::int64_t x = fallback;
  if (const std::optional<JsonValue> found = Find(key))
    Attempt(document->problems, [&] { x = found->Integer(range); });
  return x;
}

}  // namespace orvrender
