// ParseJsonText: JSON text into a document, through nlohmann's SAX parser.
//
// nlohmann's own document builder places each member of an ordered object
// through the ordered map's linear search for an equal key, so an object of
// n members costs n * n / 2 key comparisons: a 16 MB request body of short
// keys would hold a worker for hours. This builder appends each member and
// finds repeated keys through a hash index of the open object instead,
// which keeps nlohmann's meaning of a repeated key (its first place, its
// last value) in linear time. It also follows the path of the value being
// read, so that an error names where it happened.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "contracts/json.h"

namespace vantrel::contracts {
namespace {

class DocumentBuilder {
 public:
  using Number = Json::number_float_t;

  bool null() { return Place(Json(nullptr)); }
  bool boolean(bool value) { return Place(Json(value)); }
  bool number_integer(Json::number_integer_t value) { return Place(Json(value)); }
  bool number_unsigned(Json::number_unsigned_t value) { return Place(Json(value)); }
  bool number_float(Number value, const std::string& /*text*/) { return Place(Json(value)); }
  bool string(std::string& value) { return Place(Json(std::move(value))); }
  bool binary(Json::binary_t& value) { return Place(Json::binary(std::move(value))); }

  bool start_object(std::size_t /*size*/) { return Open(Json::object(), false); }
  bool key(std::string& key) {
    levels_.back().key = std::move(key);
    return true;
  }
  bool end_object() { return Close(); }
  bool start_array(std::size_t /*size*/) { return Open(Json::array(), true); }
  bool end_array() { return Close(); }

  bool parse_error(std::size_t /*position*/, const std::string& /*token*/, const nlohmann::detail::exception& error) {
    // Syntax errors, and numbers too large for a double (out_of_range).
    throw JsonFormatError(Path(), fmt::format("invalid JSON: {}", error.what()));
  }

  Json Take() { return std::move(root_); }

 private:
  using Members = Json::object_t::Container;

  struct Level {
    Json* container = nullptr;
    bool array = false;
    std::size_t index = 0;  // of the element being read, in an array
    std::string key;        // of the member being read, in an object
    std::unordered_map<std::string, std::size_t> places;  // member positions by key, in an object
  };

  // Puts value where the innermost open container expects it (or makes it
  // the document) and returns its place.
  Json* Put(Json value) {
    if (levels_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Level& level = levels_.back();
    if (level.array) {
      level.container->push_back(std::move(value));
      return &level.container->back();
    }
    auto& members = static_cast<Members&>(level.container->get_ref<Json::object_t&>());
    const auto [place, added] = level.places.try_emplace(level.key, members.size());
    if (!added) {
      members[place->second].second = std::move(value);
      return &members[place->second].second;
    }
    members.emplace_back(level.key, std::move(value));
    return &members.back().second;
  }

  bool Place(Json value) {
    Put(std::move(value));
    ElementDone();
    return true;
  }

  bool Open(Json container, bool array) {
    // Only the innermost container grows, so the places of the outer ones stay valid.
    Json* place = Put(std::move(container));
    levels_.push_back(Level{place, array, 0, {}, {}});
    return true;
  }

  bool Close() {
    levels_.pop_back();
    ElementDone();
    return true;
  }

  void ElementDone() {
    if (!levels_.empty() && levels_.back().array) ++levels_.back().index;
  }

  // The JSON pointer of the value being read ("" for the document).
  std::string Path() const {
    std::string path;
    for (const Level& level : levels_) {
      path += "/" + json_internal::EscapeSegment(level.array ? std::to_string(level.index) : level.key);
    }
    return path;
  }

  Json root_;
  std::vector<Level> levels_;  // the containers not yet ended, innermost last
};

}  // namespace

Json ParseJsonText(std::string_view text) {
  DocumentBuilder builder;
  Json::sax_parse(text, &builder);
  return builder.Take();
}

}  // namespace vantrel::contracts
