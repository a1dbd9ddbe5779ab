#include "contracts/json_sink.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace vantrel::contracts::json_internal {
namespace {

// Whether text goes between quotes as it is: printable ASCII without a quote
// or a backslash, which is what nearly every name and text of a plant holds.
bool PlainText(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\') return false;
  }
  return true;
}

}  // namespace

void TextSink::Integer(int64_t value) {
  BeforeValue();
  std::array<char, 24> digits{};
  const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out_.append(digits.data(), end);
}

void TextSink::Real(double value) {
  BeforeValue();
  // The routine Json::dump itself uses, so that the text is the same to the byte.
  std::array<char, 64> digits{};
  char* end = nlohmann::detail::to_chars(digits.data(), digits.data() + digits.size(), value);
  out_.append(digits.data(), end);
}

void TextSink::Text(std::string_view value) {
  BeforeValue();
  Quoted(value);
}

void TextSink::Key(std::string_view key) {
  if (!first_) out_ += ',';
  first_ = false;
  Quoted(key);
  out_ += ':';
  afterKey_ = true;
}

void TextSink::IntKey(int32_t key) {
  if (!first_) out_ += ',';
  first_ = false;
  std::array<char, 16> digits{};
  const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), key);
  out_ += '"';
  out_.append(digits.data(), end);
  out_ += "\":";
  afterKey_ = true;
}

void TextSink::Quoted(std::string_view text) {
  if (PlainText(text)) {
    const std::size_t start = out_.size();
    out_.resize(start + text.size() + 2);
    char* at = out_.data() + start;
    *at++ = '"';
    at = std::copy(text.begin(), text.end(), at);
    *at = '"';
    return;
  }
  // Escapes and bytes that are not UTF-8 are rare: nlohmann's serializer
  // handles them, so that they come out exactly as in a dumped document.
  out_ += Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json& DomSink::Add(Json value) {
  if (open_.empty()) {
    root_ = std::move(value);
    return root_;
  }
  Json& container = *open_.back();
  if (container.is_array()) {
    container.push_back(std::move(value));
    return container.back();
  }
  // The converter writes each key of an object once, so the member goes at
  // the end without the ordered map's linear search for an equal key.
  auto& members = static_cast<Json::object_t::Container&>(container.get_ref<Json::object_t&>());
  members.emplace_back(std::move(key_), std::move(value));
  return members.back().second;
}

}  // namespace vantrel::contracts::json_internal
