#include "cli/reasons.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>


namespace vantrel::cli {
namespace {

constexpr std::string_view kWithError = " with error ";

bool IsUpperOrDigit(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

// "MWDBVALS: field ..." without the function's name.
std::string_view WithoutFunction(std::string_view reason) {
  const std::size_t colon = reason.find(": ");
  if (colon == std::string_view::npos || colon == 0) return reason;
  const std::string_view word = reason.substr(0, colon);
  if (!std::all_of(word.begin(), word.end(), IsUpperOrDigit)) return reason;
  return reason.substr(colon + 2);
}

// The reasons of a ", "-separated list, each once, joined by "; ".
std::string Distinct(std::string_view reasons) {
  std::vector<std::string_view> kept;
  std::size_t start = 0;
  while (start <= reasons.size()) {
    const std::size_t end = std::min(reasons.find(", ", start), reasons.size());
    const std::string_view reason = WithoutFunction(reasons.substr(start, end - start));
    if (!reason.empty() && std::find(kept.begin(), kept.end(), reason) == kept.end()) kept.push_back(reason);
    start = end + 2;
  }
  std::string text;
  for (const auto reason : kept) (text += text.empty() ? "" : "; ") += reason;
  return text;
}

// Replaces "0x1A0000" by fieldName's name and "record 1042" by
// recordName's, where they have one.
std::string Named(std::string_view text, const Namer& fieldName, const Namer& recordName) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, 2, "0x") == 0 && fieldName) {
      std::size_t end = i + 2;
      while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end])) != 0) ++end;
      uint32_t tag = 0;
      const auto [stop, error] = std::from_chars(text.data() + i + 2, text.data() + end, tag, 16);
      const std::string name = error == std::errc() && end > i + 2 ? fieldName(static_cast<int32_t>(tag)) : "";
      if (!name.empty()) {
        out += name;
        i = end;
        continue;
      }
    }
    constexpr std::string_view kRecord = "record ";
    if (text.compare(i, kRecord.size(), kRecord) == 0 && recordName) {
      std::size_t end = i + kRecord.size();
      while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])) != 0) ++end;
      int32_t id = 0;
      const auto [stop, error] = std::from_chars(text.data() + i + kRecord.size(), text.data() + end, id);
      const std::string name = error == std::errc() && end > i + kRecord.size() ? recordName(id) : "";
      if (!name.empty()) {
        out += std::string(kRecord) + name;
        i = end;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

}  // namespace

std::string ReasonInWords(std::string_view message, const Namer& fieldName, const Namer& recordName) {
  std::string text;
  const std::size_t with = message.find(kWithError);
  // The database's own reasons name the C API function ("MWDBVALS: ..."); a
  // bare error number after "with error" is left as the library said it.
  if (with == std::string_view::npos || message.find(": ", with) == std::string_view::npos) {
    text = message;  // commas of its own: nothing to take apart
  } else {
    text = std::string(message.substr(0, with)) + ": " + Distinct(message.substr(with + kWithError.size()));
  }
  return Named(text, fieldName, recordName);
}

}  // namespace vantrel::cli
