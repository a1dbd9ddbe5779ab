// JsonScanner: a JSON text read from a file in large blocks and handed over
// a piece at a time: the structure (objects, keys, arrays) step by step, so
// that a caller walks a large document without holding it, and any value
// whole, as a small tree, where that is simpler. Strings are checked as
// UTF-8, numbers beyond a double are refused, and nesting is bounded; every
// fault throws DatabaseError "origin: not valid JSON: what at line L, column
// C". Not thread-safe (one reader of one file).
//
//   JsonScanner json(path);
//   json.BeginObject();
//   for (std::string key; json.NextKey(key);) {
//     if (key == "items") {
//       json.BeginArray();
//       while (json.NextElement()) Use(json.ReadValue());
//     }
//   }
//   json.ExpectEnd();
#ifndef VANTREL_ENGINE_JSON_SCANNER_H_
#define VANTREL_ENGINE_JSON_SCANNER_H_

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/unique_fd.h"

namespace dorvik {

class JsonScanner {
 public:
  using Json = nlohmann::ordered_json;
  static constexpr int kMaxDepth = 512;
  static constexpr std::size_t kMaxNumberLength = 64;

  // Opens path; origin names it in errors.
  JsonScanner(const std::string& path, std::string origin);
  JsonScanner(const JsonScanner&) = delete;
  JsonScanner& operator=(const JsonScanner&) = delete;

  // The first character of the next value ('{', '[', '"', 't', 'f', 'n',
  // '-' or a digit), without reading it.
  char Peek();
  // Reads the next value whole.
  Json ReadValue();
  // Reads the next value, which must be a string, into text (false when it
  // is another kind of value, which is then read and left unused).
  bool ReadString(std::string& text);

  // Steps into the object or array that comes next (the caller peeked).
  void BeginObject();
  void BeginArray();
  // The next key of the innermost object; false at its end.
  bool NextKey(std::string& key);
  // Whether the innermost array has one more element (then read it).
  bool NextElement();
  // Nothing but white space is left.
  void ExpectEnd();

  [[noreturn]] void Fail(std::string_view what) const;

 private:
  // The next character, not consumed; -1 at the end.
  int Current() {
    if (at_ == size_ && !Fill()) return -1;
    return static_cast<unsigned char>(block_[at_]);
  }
  // The next character, consumed; -1 at the end.
  int Get() {
    const int c = Current();
    if (c < 0) return c;
    ++at_;
    if (++consumed_, c == '\n') {
      ++line_;
      lineStart_ = consumed_;
    }
    return c;
  }
  void SkipSpace();
  void Expect(char c);
  void ReadStringBody(std::string& text);
  void AppendEscape(std::string& text);
  Json ReadNumber();
  void ReadLiteral(std::string_view word);
  Json ReadTree(int depth);
  bool Fill();

  std::string origin_;
  UniqueFd fd_;
  std::array<char, 1 << 20> block_{};
  std::size_t at_ = 0, size_ = 0;
  bool ended_ = false;
  std::size_t line_ = 1, lineStart_ = 0, consumed_ = 0;  // for error positions
  std::vector<bool> first_;  // per open container: no member read yet
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_JSON_SCANNER_H_
