// QueryPairs: the query of a request target ("/v1/read?record=TI100&...")
// as name and value pairs in their order, percent-decoded, "+" read as a
// space. A repeated name appears once per value; an empty item ("&&") is
// skipped; a "%" not followed by two hex digits stays as it is. The GET
// routes and the chart history route read their parameters through it.
// Pure functions; safe from any thread.
#ifndef VANTREL_HOST_QUERY_TEXT_H_
#define VANTREL_HOST_QUERY_TEXT_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel::host {

namespace query_internal {

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline std::string Decode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      decoded += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

}  // namespace query_internal

inline std::vector<std::pair<std::string, std::string>> QueryPairs(std::string_view target) {
  std::vector<std::pair<std::string, std::string>> pairs;
  const std::size_t question = target.find('?');
  if (question == std::string_view::npos) return pairs;
  std::string_view rest = target.substr(question + 1);
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view item = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    if (item.empty()) continue;
    const std::size_t equals = item.find('=');
    pairs.emplace_back(query_internal::Decode(item.substr(0, equals)),
                       equals == std::string_view::npos ? std::string()
                                                        : query_internal::Decode(item.substr(equals + 1)));
  }
  return pairs;
}

}  // namespace vantrel::host

#endif  // VANTREL_HOST_QUERY_TEXT_H_
