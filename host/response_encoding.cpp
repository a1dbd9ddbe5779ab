#include "host/response_encoding.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

#include "wire/gzip.h"
#include "wire/history_columns.h"

namespace vantrel::host {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower;
}

// Whether the parameters of one media range refuse it (a quality of 0).
bool Refused(std::string_view parameters) {
  while (!parameters.empty()) {
    const auto semicolon = parameters.find(';');
    const std::string_view parameter = Trim(parameters.substr(0, semicolon));
    parameters = semicolon == std::string_view::npos ? std::string_view() : parameters.substr(semicolon + 1);
    const auto equals = parameter.find('=');
    if (equals == std::string_view::npos || Lower(Trim(parameter.substr(0, equals))) != "q") continue;
    const std::string number(Trim(parameter.substr(equals + 1)));
    char* end = nullptr;
    const double quality = std::strtod(number.c_str(), &end);
    return end == number.c_str() || *end != '\0' || quality <= 0;
  }
  return false;
}

// Whether the caller's address is this machine's own.
bool IsLoopback(std::string_view source) {
  return source.rfind("127.", 0) == 0 || source == "::1" || source.rfind("::ffff:127.", 0) == 0;
}

}  // namespace

bool AcceptsColumns(std::string_view accept) {
  while (!accept.empty()) {
    const auto comma = accept.find(',');
    const std::string_view range = accept.substr(0, comma);
    accept = comma == std::string_view::npos ? std::string_view() : accept.substr(comma + 1);
    const auto semicolon = range.find(';');
    const std::string type = Lower(Trim(range.substr(0, semicolon)));
    if (type != wire::kColumnsMediaType) continue;
    return semicolon == std::string_view::npos || !Refused(range.substr(semicolon + 1));
  }
  return false;
}

void EncodeForClient(const HttpRequest& request, HttpResponse& response) {
  if (response.status == 101) return;
  response.headers.emplace_back("Vary", "Accept-Encoding");
  if (response.body.size() < kGzipMinBytes || !wire::AcceptsGzip(request.acceptEncoding)) return;
  if (response.contentType == wire::kColumnsMediaType && IsLoopback(request.source)) return;
  response.body = wire::GzipCompress(response.body);
  response.headers.emplace_back("Content-Encoding", "gzip");
}

}  // namespace vantrel::host
