// JsonScan: a quick reader for the plain shapes that large requests take
// (lists of ids or names, maps of them), straight from the text into the
// contract type with no document in between. It reads a strict subset of
// JSON: integers without fraction or exponent, strings of printable ASCII
// without escapes, no duplicate keys. Whatever falls outside the subset,
// malformed input included, makes it give up (false), and the caller reads
// the text the thorough way (ParseJsonText, FromJson), which accepts all of
// JSON and names the path of any error. So for any text the quick reader
// takes, it gives the value the thorough one gives.
//
// A JsonScanner belongs to one thread and reads text it does not own.
#ifndef VANTREL_CONTRACTS_JSON_SCAN_H_
#define VANTREL_CONTRACTS_JSON_SCAN_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <tsl/ordered_map.h>

namespace vantrel::contracts::json_internal {

class JsonScanner {
 public:
  explicit JsonScanner(std::string_view text) : text_(text) {}

  // Skips white space, then takes c if it comes next.
  bool Take(char c) {
    SkipSpace();
    if (position_ == text_.size() || text_[position_] != c) return false;
    ++position_;
    return true;
  }
  // A string of the subset, its text without the quotes (a view into the input).
  bool PlainString(std::string_view& out);
  // An integer of the subset in the range of int64_t.
  bool Integer(int64_t& out);
  // Nothing but white space is left.
  bool AtEnd() {
    SkipSpace();
    return position_ == text_.size();
  }

 private:
  void SkipSpace() {
    while (position_ < text_.size() && IsSpace(text_[position_])) ++position_;
  }
  static bool IsSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

  std::string_view text_;
  std::size_t position_ = 0;
};

// The types the quick reader knows: int32, string, and lists and maps of
// them (maps keyed by int32 or string).
template <typename T>
struct Scan;

template <typename T>
concept Scannable = requires {
  sizeof(Scan<T>);
};

template <>
struct Scan<int32_t> {
  static bool Read(JsonScanner& scanner, int32_t& out);
};

template <>
struct Scan<std::string> {
  static bool Read(JsonScanner& scanner, std::string& out);
};

// The key of an int32-keyed map, in the canonical decimal form only.
bool ScanIntKey(std::string_view text, int32_t& key);

template <Scannable T, typename Allocator>
struct Scan<std::vector<T, Allocator>> {
  static bool Read(JsonScanner& scanner, std::vector<T, Allocator>& out) {
    if (!scanner.Take('[')) return false;
    if (scanner.Take(']')) return true;
    do {
      T element{};
      if (!Scan<T>::Read(scanner, element)) return false;
      out.push_back(std::move(element));
    } while (scanner.Take(','));
    return scanner.Take(']');
  }
};

template <typename Key, Scannable Mapped, typename... Rest>
requires std::is_same_v<Key, int32_t> || std::is_same_v<Key, std::string>
struct Scan<tsl::ordered_map<Key, Mapped, Rest...>> {
  static bool Read(JsonScanner& scanner, tsl::ordered_map<Key, Mapped, Rest...>& out) {
    if (!scanner.Take('{')) return false;
    if (scanner.Take('}')) return true;
    do {
      std::string_view keyText;
      if (!scanner.PlainString(keyText) || !scanner.Take(':')) return false;
      Key key{};
      if constexpr (std::is_same_v<Key, int32_t>) {
        if (!ScanIntKey(keyText, key)) return false;
      } else {
        key = std::string(keyText);
      }
      Mapped mapped{};
      if (!Scan<Mapped>::Read(scanner, mapped)) return false;
      // A key given twice: the thorough reader decides what that means.
      if (!out.emplace(std::move(key), std::move(mapped)).second) return false;
    } while (scanner.Take(','));
    return scanner.Take('}');
  }
};

}  // namespace vantrel::contracts::json_internal

#endif  // VANTREL_CONTRACTS_JSON_SCAN_H_
