// The two places the contracts' JSON form is written to: TextSink appends
// JSON text to a std::string, DomSink builds a contracts::Json document.
// The converter of contracts/json.cpp writes every contract type through
// the same calls to either, so the text a host sends and the document the
// tool prints cannot disagree. TextSink writes exactly what
// Json::dump(-1, ' ', false, error_handler_t::replace) writes for the
// document DomSink builds from the same calls: numbers in nlohmann's own
// shortest round-trip form, strings with the same escapes, bytes that are
// not UTF-8 replaced by U+FFFD.
//
// A sink belongs to one thread. Calls must nest as JSON does: a Key before
// each value in an object, every Begin matched by its End.
#ifndef VANTREL_CONTRACTS_JSON_SINK_H_
#define VANTREL_CONTRACTS_JSON_SINK_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vantrel::contracts::json_internal {

using Json = nlohmann::ordered_json;

class TextSink {
 public:
  // Appends to out, which must outlive the sink.
  explicit TextSink(std::string& out) : out_(out) {}

  void Null() { Literal("null"); }
  void Bool(bool value) { Literal(value ? "true" : "false"); }
  void Integer(int64_t value);
  // value must be finite (the converter writes the others as text).
  void Real(double value);
  void Text(std::string_view value);
  // A text known to be printable ASCII without a quote or a backslash (a
  // formatted date and time): written as Text writes it, without the check.
  void PlainText(std::string_view value);

  void BeginObject() { Open('{'); }
  void Key(std::string_view key);
  void IntKey(int32_t key);
  // A key of plain ASCII that needs no escape: the converter's member names.
  void MemberName(std::string_view name);
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }

 private:
  // What one piece of text (a value with the comma before it, or a key) is
  // gathered in before it is appended: one append per piece, since a read
  // of thousands of tags writes tens of thousands of pieces. Longer pieces
  // are appended part by part.
  static constexpr std::size_t kPieceBytes = 96;
  class Piece;

  // The comma in front of a value, unless it opens its container or follows its key.
  bool CommaBeforeValue() {
    const bool comma = !afterKey_ && !first_;
    afterKey_ = false;
    first_ = false;
    return comma;
  }
  // The comma in front of a key, unless it opens its object.
  bool CommaBeforeKey() {
    const bool comma = !first_;
    first_ = false;
    afterKey_ = true;
    return comma;
  }
  void Literal(std::string_view text);
  void Open(char bracket);
  void Close(char bracket) {
    out_ += bracket;
    first_ = false;
  }
  // The comma (when asked), text between quotes, escaped as nlohmann's
  // serializer escapes it, and after.
  void Quoted(bool comma, std::string_view text, std::string_view after);
  // piece, then text between quotes and after: text needs no escape.
  void AppendPlain(Piece& piece, std::string_view text, std::string_view after);

  std::string& out_;
  bool first_ = true;      // nothing written yet in the open container
  bool afterKey_ = false;  // a key was written; its value comes next
};

class DomSink {
 public:
  void Null() { Add(nullptr); }
  void Bool(bool value) { Add(value); }
  void Integer(int64_t value) { Add(value); }
  void Real(double value) { Add(value); }
  void Text(std::string_view value) { Add(std::string(value)); }
  void PlainText(std::string_view value) { Text(value); }

  void BeginObject() { Open(Json::object()); }
  void Key(std::string_view key) { key_ = key; }
  void IntKey(int32_t key) { key_ = std::to_string(key); }
  void MemberName(std::string_view name) { key_ = name; }
  void EndObject() { open_.pop_back(); }
  void BeginArray() { Open(Json::array()); }
  void EndArray() { open_.pop_back(); }

  // The document written so far.
  Json Take() { return std::move(root_); }

 private:
  // Places value in the open container (or as the document) and returns where it now is.
  Json& Add(Json value);
  void Open(Json container) { open_.push_back(&Add(std::move(container))); }

  Json root_;
  // The containers not yet ended, innermost last. Only the innermost grows,
  // so the addresses of the others stay valid.
  std::vector<Json*> open_;
  std::string key_;
};

}  // namespace vantrel::contracts::json_internal

#endif  // VANTREL_CONTRACTS_JSON_SINK_H_
