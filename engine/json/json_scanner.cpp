#include "engine/json/json_scanner.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "engine/code_page.h"
#include "engine/database_error.h"

namespace dorvik {
namespace {

bool IsDigit(int c) { return c >= '0' && c <= '9'; }

}  // namespace

JsonScanner::JsonScanner(const std::string& path, std::string origin)
    : origin_(std::move(origin)), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  if (!fd_.valid()) throw DatabaseError(fmt::format("{}: cannot open: {}", origin_, std::strerror(errno)));
  // Frames never move: a frame's last key is a pointer into its own sets.
  frames_.reserve(kMaxDepth);
}

void JsonScanner::Fail(std::string_view what) const {
  throw DatabaseError(
      fmt::format("{}: not valid JSON: {} at line {}, column {}", origin_, what, line_, consumed_ - lineStart_ + 1));
}

bool JsonScanner::Fill() {
  if (ended_) return false;
  ssize_t n;
  do {
    n = ::read(fd_.get(), block_.data(), block_.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) throw DatabaseError(fmt::format("{}: cannot read: {}", origin_, std::strerror(errno)));
  at_ = 0;
  size_ = static_cast<std::size_t>(n);
  ended_ = n == 0;
  return !ended_;
}

void JsonScanner::SkipSpace() {
  // Most calls find the next token at once.
  if (at_ < size_ && static_cast<unsigned char>(block_[at_]) > ' ') return;
  for (;;) {
    if (at_ == size_ && !Fill()) return;
    const char* begin = block_.data() + at_;
    const char* end = block_.data() + size_;
    const char* p = begin;
    for (; p < end; ++p) {
      if (*p == ' ' || *p == '\t' || *p == '\r') continue;
      if (*p != '\n') break;
      ++line_;
      lineStart_ = consumed_ + static_cast<std::size_t>(p - begin) + 1;
    }
    const auto run = static_cast<std::size_t>(p - begin);
    at_ += run;
    consumed_ += run;
    if (p < end) return;
  }
}

void JsonScanner::Expect(char c) {
  SkipSpace();
  const int found = Get();
  if (found != static_cast<unsigned char>(c)) {
    Fail(found < 0 ? std::string("the text ends too early") : fmt::format("expected '{}'", c));
  }
}

char JsonScanner::Peek() {
  SkipSpace();
  const int c = Current();
  if (c < 0) Fail("the text ends too early");
  return static_cast<char>(c);
}

void JsonScanner::ReadStringBody(std::string& text) {
  text.clear();
  for (;;) {
    if (at_ == size_ && !Fill()) Fail("a string does not end");
    const char* begin = block_.data() + at_;
    const char* end = block_.data() + size_;
    const char* p = begin;
    while (p < end) {
      const auto c = static_cast<unsigned char>(*p);
      if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
      ++p;
    }
    text.append(begin, p);
    const auto run = static_cast<std::size_t>(p - begin);
    at_ += run;
    consumed_ += run;
    if (p == end) continue;
    const int c = Get();
    if (c == '"') return;
    if (c == '\\') {
      AppendEscape(text);
      continue;
    }
    if (c < 0x20) Fail("a control character in a string");
    // A UTF-8 sequence: its lead byte gives its length.
    const int length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (length == 0) Fail("a string that is not UTF-8");
    uint32_t code = static_cast<uint32_t>(c) & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
    for (int k = 1; k < length; ++k) {
      const int next = Get();
      if (next < 0 || (next & 0xC0) != 0x80) Fail("a string that is not UTF-8");
      code = (code << 6) | (static_cast<uint32_t>(next) & 0x3F);
    }
    if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
      Fail("a string that is not UTF-8");
    }
    AppendUtf8(text, code);
  }
}

void JsonScanner::AppendEscape(std::string& text) {
  const int c = Get();
  switch (c) {
    case '"': text += '"'; return;
    case '\\': text += '\\'; return;
    case '/': text += '/'; return;
    case 'b': text += '\b'; return;
    case 'f': text += '\f'; return;
    case 'n': text += '\n'; return;
    case 'r': text += '\r'; return;
    case 't': text += '\t'; return;
    case 'u': break;
    default: Fail("an unknown escape in a string");
  }
  auto hex4 = [this] {
    uint32_t value = 0;
    for (int k = 0; k < 4; ++k) {
      const int digit = Get();
      const int nibble = IsDigit(digit) ? digit - '0'
                         : digit >= 'a' && digit <= 'f' ? digit - 'a' + 10
                         : digit >= 'A' && digit <= 'F' ? digit - 'A' + 10
                                                        : -1;
      if (nibble < 0) Fail("\\u needs four hex digits");
      value = value * 16 + static_cast<uint32_t>(nibble);
    }
    return value;
  };
  uint32_t code = hex4();
  if (code >= 0xDC00 && code <= 0xDFFF) Fail("a lone low surrogate in a string");
  if (code >= 0xD800 && code <= 0xDBFF) {
    if (Get() != '\\' || Get() != 'u') Fail("a high surrogate without its low one");
    const uint32_t low = hex4();
    if (low < 0xDC00 || low > 0xDFFF) Fail("a high surrogate without its low one");
    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
  }
  AppendUtf8(text, code);
}

JsonScanner::Json JsonScanner::ReadNumber() {
  // Longer numbers are valid JSON but say nothing a double cannot.
  char buffer[kMaxNumberLength + 1];
  std::size_t length = 0;
  auto take = [&] {
    if (length == kMaxNumberLength) Fail("a number is too long");
    buffer[length++] = static_cast<char>(Get());
  };
  auto digits = [&] {
    if (!IsDigit(Current())) Fail("a number lacks digits");
    while (IsDigit(Current())) take();
  };
  if (Current() == '-') take();
  if (Current() == '0') {
    take();
  } else {
    digits();
  }
  bool integral = true;
  if (Current() == '.') {
    integral = false;
    take();
    digits();
  }
  if (Current() == 'e' || Current() == 'E') {
    integral = false;
    take();
    if (Current() == '+' || Current() == '-') take();
    digits();
  }
  const char* first = buffer;
  const char* last = buffer + length;
  if (integral) {
    int64_t value = 0;
    if (std::from_chars(first, last, value).ec == std::errc()) return Json(value);
    uint64_t large = 0;
    if (buffer[0] != '-' && std::from_chars(first, last, large).ec == std::errc()) return Json(large);
  }
  double value = 0;
  if (std::from_chars(first, last, value).ec == std::errc()) return Json(value);
  // Out of range: an underflow is 0, an overflow is refused.
  buffer[length] = '\0';
  value = std::strtod(buffer, nullptr);
  if (!std::isfinite(value)) Fail(fmt::format("the number {} is out of range", std::string_view(buffer, length)));
  return Json(value);
}

void JsonScanner::ReadLiteral(std::string_view word) {
  for (char c : word) {
    if (Get() != static_cast<unsigned char>(c)) Fail("an unknown word");
  }
}

JsonScanner::Json JsonScanner::ReadTree(int depth) {
  if (depth > kMaxDepth) Fail("values nest too deep");
  switch (Peek()) {
    case '{': {
      Json object = Json::object();
      BeginObject();
      for (std::string key; NextKey(key);) object[key] = ReadTree(depth + 1);
      return object;
    }
    case '[': {
      Json array = Json::array();
      BeginArray();
      while (NextElement()) array.push_back(ReadTree(depth + 1));
      return array;
    }
    case '"': {
      Get();
      std::string text;
      ReadStringBody(text);
      return Json(std::move(text));
    }
    case 't': ReadLiteral("true"); return Json(true);
    case 'f': ReadLiteral("false"); return Json(false);
    case 'n': ReadLiteral("null"); return Json(nullptr);
    default:
      if (Current() == '-' || IsDigit(Current())) return ReadNumber();
      Fail("an unexpected character");
  }
}

JsonScanner::Json JsonScanner::ReadValue() { return ReadTree(static_cast<int>(depth_)); }

bool JsonScanner::ReadString(std::string& text) {
  if (Peek() != '"') {
    ReadValue();
    return false;
  }
  Get();
  ReadStringBody(text);
  return true;
}

bool JsonScanner::KeySet::Insert(const std::string& key) {
  if (count_ >= kListed) {
    const auto [at, inserted] = large_.insert(key);
    last_ = &*at;
    return inserted;
  }
  for (std::size_t i = 0; i < count_; ++i) {
    if (listed_[i] == key) return false;
  }
  if (listed_.size() == count_) {
    listed_.push_back(key);
  } else {
    listed_[count_] = key;
  }
  last_ = &listed_[count_];
  if (++count_ == kListed) {
    large_.insert(listed_.begin(), listed_.end());
    last_ = &*large_.find(key);
  }
  return true;
}

void JsonScanner::Open(bool object) {
  Expect(object ? '{' : '[');
  if (depth_ >= kMaxDepth) Fail("values nest too deep");
  if (frames_.size() == depth_) frames_.emplace_back();
  Frame& frame = frames_[depth_++];
  frame.object = object;
  frame.first = true;
  frame.index = 0;
  if (object) frame.keys.Clear();
}

void JsonScanner::BeginObject() { Open(true); }

void JsonScanner::BeginArray() { Open(false); }

std::string JsonScanner::PathText(std::size_t depth) const {
  std::string path;
  for (std::size_t i = 0; i < depth && i < depth_; ++i) {
    const Frame& frame = frames_[i];
    if (frame.first) break;  // nothing read in it yet
    path += '/';
    path += frame.object ? frame.keys.Last() : std::to_string(frame.index);
  }
  return path;
}

bool JsonScanner::NextKey(std::string& key) {
  SkipSpace();
  Frame& frame = frames_[depth_ - 1];
  if (Current() == '}') {
    Get();
    --depth_;
    return false;
  }
  if (!frame.first) {
    if (Get() != ',') Fail("expected ',' or '}'");
    SkipSpace();
  }
  if (Get() != '"') Fail("expected a key");
  ReadStringBody(key);
  if (!frame.keys.Insert(key)) {
    throw DatabaseError(fmt::format("{}: {}/{}: the key appears twice in its object (line {})", origin_,
                                    PathText(depth_ - 1), key, line_));
  }
  frame.first = false;
  Expect(':');
  return true;
}

bool JsonScanner::NextElement() {
  SkipSpace();
  Frame& frame = frames_[depth_ - 1];
  if (Current() == ']') {
    Get();
    --depth_;
    return false;
  }
  if (!frame.first) {
    if (Get() != ',') Fail("expected ',' or ']'");
    ++frame.index;
  }
  frame.first = false;
  return true;
}

void JsonScanner::ExpectEnd() {
  SkipSpace();
  if (Current() >= 0) Fail("text after the end");
}

}  // namespace dorvik
