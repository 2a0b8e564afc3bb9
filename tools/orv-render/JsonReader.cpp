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
    case Json::value_t::null:
      return "null";
    case Json::value_t::object:
      return "an object";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::binary:
      return "binary data";
    case Json::value_t::discarded:
      return "nothing";
    default:
      return "a number";
  }
}

bool IsIdentifier(std::string_view key) {
  if (key.empty() || std::isdigit(static_cast<unsigned char>(key[0]))) return false;
  return std::all_of(key.begin(), key.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
  });
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

// Builds the document from the parser's events, with a key index per open
// object so that placing a key costs O(1).
class LinearDomBuilder {
 public:
  explicit LinearDomBuilder(Json& root) : root(root) {}

  bool null() { return Put(nullptr) != nullptr; }
  bool boolean(bool x) { return Put(x) != nullptr; }
  bool number_integer(Json::number_integer_t x) { return Put(x) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t x) { return Put(x) != nullptr; }
  bool number_float(Json::number_float_t x, const Json::string_t&) { return Put(x) != nullptr; }
  bool string(Json::string_t& x) { return Put(std::move(x)) != nullptr; }
  bool binary(Json::binary_t& x) { return Put(Json::binary(std::move(x))) != nullptr; }
  bool start_object(std::size_t) {
    open.push_back({Put(Json::object()), {}});
    return true;
  }
  bool key(Json::string_t& name) {
    Frame& frame = open.back();
    // ordered_map is a vector of pairs; appending to it directly skips its
    // linear search for the key, which the index here has done.
    auto& members = static_cast<Json::object_t::Container&>(frame.value->get_ref<Json::object_t&>());
    const auto [entry, isNew] = frame.index.try_emplace(name, members.size());
    if (isNew) members.emplace_back(std::move(name), nullptr);
    pendingMember = &members[entry->second].second;
    return true;
  }
  bool end_object() {
    open.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    open.push_back({Put(Json::array()), {}});
    return true;
  }
  bool end_array() {
    open.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    if (const auto* syntax = dynamic_cast<const Json::parse_error*>(&error)) throw *syntax;
    throw UserError(std::string("JSON error: ") + error.what());
  }

 private:
  struct Frame {
    Json* value;
    std::unordered_map<std::string, std::size_t> index;  // objects only
  };

  Json* Put(Json value) {
    if (open.empty()) {
      root = std::move(value);
      return &root;
    }
    Json& parent = *open.back().value;
    if (parent.is_array()) {
      auto& items = parent.get_ref<Json::array_t&>();
      items.push_back(std::move(value));
      return &items.back();
    }
    *pendingMember = std::move(value);
    return pendingMember;
  }

  Json& root;
  std::vector<Frame> open;
  Json* pendingMember = nullptr;
};

}  // namespace

Json ParseJson(const std::string& text) {
  Json document;
  LinearDomBuilder builder(document);
  Json::sax_parse(text, &builder);
  return document;
}

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

std::string MemberPath(const std::string& parent, std::string_view key) {
  if (IsIdentifier(key)) return parent + "." + std::string(key);
  return parent + "[" + Json(std::string(key)).dump() + "]";
}

std::string IndexPath(const std::string& parent, std::size_t index) {
  return parent + "[" + std::to_string(index) + "]";
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

JsonValue::JsonValue(const Json& value, std::string path) : value(&value), path(std::move(path)) {}

void JsonValue::Fail(const std::string& what) const { throw UserError(path + ": " + what); }

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

Vec3 JsonValue::Vector() const {
  if (!value->is_array() || value->size() != 3)
    Fail(std::string("expected a vector [x, y, z], found ") +
         (value->is_array() ? "an array of " + std::to_string(value->size()) + " values"
                            : TypeName(*value)));
  const std::vector<JsonValue> items = Array();
  return {items[0].Number(), items[1].Number(), items[2].Number()};
}

std::vector<JsonValue> JsonValue::Array() const {
  if (!value->is_array()) Fail(std::string("expected an array, found ") + TypeName(*value));
  std::vector<JsonValue> items;
  items.reserve(value->size());
  for (std::size_t i = 0; i < value->size(); ++i)
    items.emplace_back((*value)[i], IndexPath(path, i));
  return items;
}

JsonObject JsonValue::Object(std::initializer_list<std::string_view> knownKeys) const {
  if (!value->is_object()) Fail(std::string("expected an object, found ") + TypeName(*value));
  for (const auto& [key, member] : value->items()) {
    if (std::find(knownKeys.begin(), knownKeys.end(), key) != knownKeys.end()) continue;
    std::string message = "unknown key";
    const std::string closest = ClosestWord(key, knownKeys);
    if (!closest.empty()) message += "; did you mean '" + closest + "'?";
    message += " (known keys here: " + JoinWords(knownKeys) + ")";
    throw UserError(MemberPath(path, key) + ": " + message);
  }
  return JsonObject(*value, path);
}

// --- JsonObject --------------------------------------------------------------

JsonObject::JsonObject(const Json& value, std::string path)
    : value(&value), path(std::move(path)) {}

void JsonObject::Fail(const std::string& what) const { throw UserError(path + ": " + what); }

bool JsonObject::Has(std::string_view key) const { return value->contains(key); }

std::optional<JsonValue> JsonObject::Find(std::string_view key) const {
  const auto it = value->find(key);
  if (it == value->end()) return std::nullopt;
  return JsonValue(*it, MemberPath(path, key));
}

JsonValue JsonObject::Get(std::string_view key) const {
  std::optional<JsonValue> found = Find(key);
  if (!found) Fail("missing key '" + std::string(key) + "'");
  return *found;
}

std::vector<std::pair<std::string, JsonValue>> JsonObject::Members() const {
  std::vector<std::pair<std::string, JsonValue>> members;
  for (const auto& [key, member] : value->items())
    members.emplace_back(key, JsonValue(member, MemberPath(path, key)));
  return members;
}

double JsonObject::Number(std::string_view key, double fallback, Range range) const {
  const std::optional<JsonValue> found = Find(key);
  return found ? found->Number(range) : fallback;
}

std::int64_t JsonObject::Integer(std::string_view key, std::int64_t fallback, Range range) const {
  const std::optional<JsonValue> found = Find(key);
  return found ? found->Integer(range) : fallback;
}

}  // namespace orvrender
