#include "contracts/json_scan.h"

#include <charconv>
#include <limits>

namespace vantrel::contracts::json_internal {

bool JsonScanner::PlainString(std::string_view& out) {
  if (!Take('"')) return false;
  const std::size_t start = position_;
  for (; position_ < text_.size(); ++position_) {
    const auto byte = static_cast<unsigned char>(text_[position_]);
    if (byte == '"') {
      out = text_.substr(start, position_ - start);
      ++position_;
      return true;
    }
    // Escapes, control characters and bytes beyond ASCII (which JSON
    // requires to be valid UTF-8) are the thorough reader's.
    if (byte == '\\' || byte < 0x20 || byte >= 0x80) return false;
  }
  return false;
}

bool JsonScanner::Integer(int64_t& out) {
  SkipSpace();
  const std::size_t start = position_;
  if (position_ < text_.size() && text_[position_] == '-') ++position_;
  const std::size_t digits = position_;
  while (position_ < text_.size() && text_[position_] >= '0' && text_[position_] <= '9') ++position_;
  if (position_ == digits) return false;
  // JSON has no leading zeros; a fraction or an exponent makes a real.
  if (text_[digits] == '0' && position_ - digits > 1) return false;
  if (position_ < text_.size() && (text_[position_] == '.' || text_[position_] == 'e' || text_[position_] == 'E')) {
    return false;
  }
  const auto [end, error] = std::from_chars(text_.data() + start, text_.data() + position_, out);
  return error == std::errc() && end == text_.data() + position_;
}

bool Scan<int32_t>::Read(JsonScanner& scanner, int32_t& out) {
  int64_t value = 0;
  if (!scanner.Integer(value)) return false;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return false;
  out = static_cast<int32_t>(value);
  return true;
}

bool Scan<std::string>::Read(JsonScanner& scanner, std::string& out) {
  std::string_view text;
  if (!scanner.PlainString(text)) return false;
  out.assign(text);
  return true;
}

bool ScanIntKey(std::string_view text, int32_t& key) {
  // Canonical only ("5", not "05", "+5" or "-0"), as the thorough reader
  // demands: from_chars takes no '+', so only zeros in front remain to refuse.
  const std::string_view digits = !text.empty() && text[0] == '-' ? text.substr(1) : text;
  if (digits.empty() || (digits[0] == '0' && (digits.size() > 1 || digits.size() != text.size()))) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), key);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace vantrel::contracts::json_internal
