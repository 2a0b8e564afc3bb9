#include "JsonDocument.h"

#include <algorithm>
#include <cctype>
#include <iterator>

#include "UserError.h"

namespace orvrender {

namespace {

bool IsIdentifier(std::string_view key) {
  if (key.empty() || std::isdigit(static_cast<unsigned char>(key[0]))) return false;
  return std::all_of(key.begin(), key.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
  });
}

// Walks the text like a pointer and counts what the parser has read, so that
// the builder knows where each token ends.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* at, std::size_t* read) : at(at), read(read) {}
  reference operator*() const { return *at; }
  CountingIterator& operator++() {
    ++at;
    ++*read;
    return *this;
  }
  bool operator==(const CountingIterator& other) const { return at == other.at; }
  bool operator!=(const CountingIterator& other) const { return at != other.at; }

 private:
  const char* at;
  std::size_t* read;
};

}  // namespace

// Builds the document from the parser's events, with a key index per open
// object so that placing a key costs O(1) (ordered_map searches its keys),
// and notes where every key and
// value begins. The parser reports a token once it has read it (a number
// with one character more), so a token begins at the first character after
// the previous token that is not white space, ',' or ':'.
class DocumentBuilder {
 public:
  DocumentBuilder(const std::string& text, Document& document) : text(text), document(document) {
    for (std::size_t i = 0; i < text.size(); ++i)
      if (text[i] == '\n') document.map.lineStarts.push_back(i + 1);
  }
  std::size_t* ReadCounter() { return &read; }

  bool null() { return Put(nullptr) != nullptr; }
  bool boolean(bool x) { return Put(x) != nullptr; }
  bool number_integer(Json::number_integer_t x) { return Put(x) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t x) { return Put(x) != nullptr; }
  bool number_float(Json::number_float_t x, const Json::string_t&) { return Put(x) != nullptr; }
  bool string(Json::string_t& x) { return Put(std::move(x)) != nullptr; }
  bool binary(Json::binary_t& x) { return Put(Json::binary(std::move(x))) != nullptr; }
  bool start_object(std::size_t) {
    Open(Json::object());
    return true;
  }
  bool key(Json::string_t& name) {
    const std::size_t start = TokenStart();
    Frame& frame = open.back();
    const auto [entry, isNew] = frame.index.try_emplace(name, frame.members.size());
    if (isNew) {
      frame.offsets->push_back(start);
      frame.offsets->push_back(start);  // the value's, until it is read
      frame.members.emplace_back(std::move(name), nullptr);
    } else {
      const SourceMap::Place first = document.map.Locate((*frame.offsets)[2 * entry->second]);
      document.problems.Add(start, MemberPath(frame.path, name) +
                                       ": the key is given twice, first at line " +
                                       std::to_string(first.line) + ", column " +
                                       std::to_string(first.column) + "; give it once");
    }
    pendingMember = entry->second;
    return true;
  }
  bool end_object() {
    Close();
    return true;
  }
  bool start_array(std::size_t) {
    Open(Json::array());
    return true;
  }
  bool end_array() {
    Close();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    if (const auto* syntax = dynamic_cast<const Json::parse_error*>(&error)) throw *syntax;
    throw UserError(std::string("JSON error: ") + error.what());
  }

 private:
  struct Frame {
    Json* value;
    std::string path;
    std::vector<std::size_t>* offsets;  // in the source map
    // Objects only. Members gather here and move into the object when it
    // closes: ordered_map's pairs have a const key, so growing it would copy
    // every value, and with it the storage the source map is keyed by.
    std::vector<std::pair<std::string, Json>> members;
    std::unordered_map<std::string, std::size_t> index;
  };

  std::size_t TokenStart() {
    std::size_t i = previousEnd;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                               text[i] == '\r' || text[i] == ',' || text[i] == ':'))
      ++i;
    previousEnd = read;
    return i;
  }

  // The path of the value about to be put.
  std::string ChildPath() const {
    if (open.empty()) return "$";
    const Frame& parent = open.back();
    if (parent.value->is_array()) return IndexPath(parent.path, parent.value->size());
    return MemberPath(parent.path, parent.members[pendingMember].first);
  }

  void Open(Json container) {
    std::string path = ChildPath();
    Json* value = Put(std::move(container));
    auto* offsets =
        &document.map.offsets[value->is_array() ? static_cast<const void*>(
                                                      &value->get_ref<const Json::array_t&>())
                                                : &value->get_ref<const Json::object_t&>()];
    open.push_back({value, std::move(path), offsets, {}, {}});
  }

  void Close() {
    Frame& frame = open.back();
    if (frame.value->is_object()) {
      auto& members =
          static_cast<Json::object_t::Container&>(frame.value->get_ref<Json::object_t&>());
      members.reserve(frame.members.size());
      for (auto& [key, value] : frame.members)
        members.emplace_back(std::move(key), std::move(value));
    }
    open.pop_back();
    previousEnd = read;
  }

  Json* Put(Json value) {
    const std::size_t start = TokenStart();
    if (open.empty()) {
      document.root = std::move(value);
      document.map.rootOffset = start;
      return &document.root;
    }
    Frame& parent = open.back();
    if (parent.value->is_array()) {
      auto& items = parent.value->get_ref<Json::array_t&>();
      items.push_back(std::move(value));
      parent.offsets->push_back(start);
      return &items.back();
    }
    Json& member = parent.members[pendingMember].second;
    member = std::move(value);
    (*parent.offsets)[2 * pendingMember + 1] = start;
    return &member;
  }

  const std::string& text;
  Document& document;
  std::vector<Frame> open;
  std::size_t pendingMember = 0;
  std::size_t read = 0;         // characters the parser has taken
  std::size_t previousEnd = 0;  // read when the previous token was reported
};

Document ParseDocument(const std::string& text) {
  Document document;
  DocumentBuilder builder(text, document);
  const char* begin = text.data();
  Json::sax_parse(CountingIterator(begin, builder.ReadCounter()),
                  CountingIterator(begin + text.size(), builder.ReadCounter()), &builder);
  return document;
}

Json ParseJson(const std::string& text) { return ParseDocument(text).root; }

// --- Places and problems -----------------------------------------------------

std::size_t SourceMap::ValueOffset(const Json& container, std::size_t index) const {
  const void* storage = container.is_array()
                            ? static_cast<const void*>(&container.get_ref<const Json::array_t&>())
                            : &container.get_ref<const Json::object_t&>();
  const auto found = offsets.find(storage);
  if (found == offsets.end()) return rootOffset;
  const std::size_t i = container.is_array() ? index : 2 * index + 1;
  return i < found->second.size() ? found->second[i] : rootOffset;
}

std::size_t SourceMap::KeyOffset(const Json& object, std::size_t index) const {
  const auto found = offsets.find(&object.get_ref<const Json::object_t&>());
  if (found == offsets.end() || 2 * index >= found->second.size()) return rootOffset;
  return found->second[2 * index];
}

SourceMap::Place SourceMap::Locate(std::size_t offset) const {
  const auto next = std::upper_bound(lineStarts.begin(), lineStarts.end(), offset);
  const std::size_t line = static_cast<std::size_t>(next - lineStarts.begin());
  return {line, offset - lineStarts[line - 1] + 1};
}

void Problems::Add(std::size_t offset, std::string message) {
  problems.push_back({offset, std::move(message)});
}

std::string Problems::Report(const std::string& file, const SourceMap& map) const {
  std::vector<Problem> sorted = problems;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Problem& a, const Problem& b) { return a.offset < b.offset; });
  std::string text;
  for (std::size_t i = 0; i < sorted.size() && i < kMaxShown; ++i) {
    const SourceMap::Place place = map.Locate(sorted[i].offset);
    if (i > 0) text += "\n";
    text += file + ":" + std::to_string(place.line) + ":" + std::to_string(place.column) + ": " +
            sorted[i].message;
  }
  if (sorted.size() > kMaxShown)
    text += "\nand " + std::to_string(sorted.size() - kMaxShown) + " more";
  return text;
}

const Json::object_t::Container& MembersOf(const Json& object) {
  return static_cast<const Json::object_t::Container&>(object.get_ref<const Json::object_t&>());
}

std::string MemberPath(const std::string& parent, std::string_view key) {
  if (IsIdentifier(key)) return parent + "." + std::string(key);
  return parent + "[" + Json(std::string(key)).dump() + "]";
}

std::string IndexPath(const std::string& parent, std::size_t index) {
  return parent + "[" + std::to_string(index) + "]";
}

}  // namespace orvrender
