// JsonScanner: a JSON text read from a file in large blocks and handed over
// a piece at a time: the structure (objects, keys, arrays) step by step, so
// that a caller walks a large document without holding it, and any value
// whole, as a small tree, where that is simpler. Strings are checked as
// UTF-8, numbers beyond a double are refused, and nesting is bounded; every
// fault throws DatabaseError "origin: not valid JSON: what at line L, column
// C". A key given twice in one object is refused too (JSON leaves its
// meaning open), naming its JSON path: "origin: /records/3/id: the key
// appears twice in its object (line L)". Not thread-safe (one reader of one
// file).
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
#include <unordered_set>
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
  // The JSON path of the value being read ("/records/3/values"; "" at the
  // top), through the `depth` outermost open containers.
  std::string PathText(std::size_t depth) const;

 private:
  // The keys of one object, to find a key given twice: a short list
  // searched in order, and a hash set once an object has many keys. Keeps
  // its memory when cleared, for the next object at its depth.
  class KeySet {
   public:
    void Clear() {
      count_ = 0;
      large_.clear();
    }
    // False when key is there already.
    bool Insert(const std::string& key);
    // The key inserted last.
    const std::string& Last() const { return *last_; }

   private:
    static constexpr std::size_t kListed = 16;
    std::vector<std::string> listed_;  // [0, count_) in use
    std::size_t count_ = 0;
    std::unordered_set<std::string> large_;  // every key once count_ reached kListed
    const std::string* last_ = nullptr;      // into listed_ or large_ (whose nodes stay put)
  };

  // One open object or array: where the reading is in it.
  struct Frame {
    bool object = false;
    bool first = true;      // no member read yet
    std::size_t index = 0;  // an array: the element being read
    KeySet keys;            // an object: the keys read so far, the one being read last
  };

  void Open(bool object);
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
  // [0, depth_) are open; deeper ones keep their memory for reuse. Never
  // reallocated (reserved to kMaxDepth).
  std::vector<Frame> frames_;
  std::size_t depth_ = 0;
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_JSON_SCANNER_H_
