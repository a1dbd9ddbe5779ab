#include "contracts/json_sink.h"

#include <array>
#include <charconv>
#include <cstring>

namespace vantrel::contracts::json_internal {
namespace {

// Whether text goes between quotes as it is: printable ASCII without a quote
// or a backslash, which is what nearly every name and text of a plant holds.
bool IsPlainText(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\') return false;
  }
  return true;
}

}  // namespace

// A piece of text on the stack, appended to the sink's string once.
class TextSink::Piece {
 public:
  explicit Piece(bool comma) {
    if (comma) bytes_[size_++] = ',';
  }
  bool Fits(std::size_t more) const { return more <= kPieceBytes - size_; }
  void Add(char c) { bytes_[size_++] = c; }
  // Only what Fits.
  void Add(std::string_view text) {
    std::memcpy(bytes_.data() + size_, text.data(), text.size());
    size_ += text.size();
  }
  // The free room, for to_chars; then Grew with what it wrote.
  char* begin() { return bytes_.data() + size_; }
  char* end() { return bytes_.data() + kPieceBytes; }
  void Grew(const char* to) { size_ = static_cast<std::size_t>(to - bytes_.data()); }
  void AppendTo(std::string& out) const { out.append(bytes_.data(), size_); }

 private:
  std::array<char, kPieceBytes> bytes_;
  std::size_t size_ = 0;
};

void TextSink::Literal(std::string_view text) {
  Piece piece(CommaBeforeValue());
  piece.Add(text);
  piece.AppendTo(out_);
}

void TextSink::Open(char bracket) {
  Piece piece(CommaBeforeValue());
  piece.Add(bracket);
  piece.AppendTo(out_);
  first_ = true;
}

void TextSink::Integer(int64_t value) {
  Piece piece(CommaBeforeValue());
  piece.Grew(std::to_chars(piece.begin(), piece.end(), value).ptr);
  piece.AppendTo(out_);
}

void TextSink::Real(double value) {
  Piece piece(CommaBeforeValue());
  // The routine Json::dump itself uses, so that the text is the same to the
  // byte (its longest text is 24 bytes; it asks for room for 64).
  static_assert(kPieceBytes >= 1 + 64);
  piece.Grew(nlohmann::detail::to_chars(piece.begin(), piece.begin() + 64, value));
  piece.AppendTo(out_);
}

void TextSink::Text(std::string_view value) { Quoted(CommaBeforeValue(), value, ""); }

void TextSink::PlainText(std::string_view value) {
  Piece piece(CommaBeforeValue());
  AppendPlain(piece, value, "");
}

void TextSink::Key(std::string_view key) { Quoted(CommaBeforeKey(), key, ":"); }

void TextSink::MemberName(std::string_view name) {
  Piece piece(CommaBeforeKey());
  AppendPlain(piece, name, ":");
}

void TextSink::IntKey(int32_t key) {
  Piece piece(CommaBeforeKey());
  piece.Add('"');
  piece.Grew(std::to_chars(piece.begin(), piece.end(), key).ptr);
  piece.Add("\":");
  piece.AppendTo(out_);
}

void TextSink::Quoted(bool comma, std::string_view text, std::string_view after) {
  Piece piece(comma);
  if (IsPlainText(text)) return AppendPlain(piece, text, after);
  piece.AppendTo(out_);
  // Escapes and bytes that are not UTF-8 are rare: nlohmann's serializer
  // handles them, so that they come out exactly as in a dumped document.
  out_ += Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
  out_ += after;
}

void TextSink::AppendPlain(Piece& piece, std::string_view text, std::string_view after) {
  if (piece.Fits(text.size() + 2 + after.size())) {
    piece.Add('"');
    piece.Add(text);
    piece.Add('"');
    piece.Add(after);
    piece.AppendTo(out_);
    return;
  }
  piece.AppendTo(out_);
  out_ += '"';
  out_ += text;
  out_ += '"';
  out_ += after;
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
