// ChartHistoryRoute: GET /v1/history?record=R&field=F&from=T&to=T&points=N
// [&outsiders=KIND]: a field's history over an interval, reduced to what a
// chart N pixel columns wide shows (ChartDecimation), read through the
// library as the caller's account. The page's trend chart asks it; the
// history route without `points` is the dispatcher's own.
//
// The interval is read in pages of the service's history limit per call, at
// most kMaxRawValues values in all ("truncated": true past that). Times are
// ISO-8601 (a "Z" suffix for UTC); from defaults to 24 hours before to, to
// to now. Blocks on the database: call it on a worker thread. Thread-safe.
//
// Wiring, in the dispatcher's routing after the caller is proven:
//   if (auto chart = live::ChartHistoryRoute(request, principal.account)) return *chart;
#ifndef VANTREL_HOST_LIVE_CHART_HISTORY_ROUTE_H_
#define VANTREL_HOST_LIVE_CHART_HISTORY_ROUTE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "host/http_message.h"

namespace vantrel::host::live {

inline constexpr int64_t kMaxRawValues = 2'000'000;

// The answer for a GET of /v1/history with a `points` parameter; nullopt
// for any other request (the dispatcher routes it). Answers 200 with
// {"record", "field", "from", "to", "points", "raw", "truncated", "values"}
// (values in the contracts' TagValue form), 400 for a bad parameter (the
// message names it), 422 with the library's fault for a refused read.
std::optional<HttpResponse> ChartHistoryRoute(const HttpRequest& request, const std::string& account);

// The query parameters of target, percent-decoded ("+" is a space); a
// repeated name keeps its last value.
std::map<std::string, std::string> QueryParameters(std::string_view target);

}  // namespace vantrel::host::live

#endif  // VANTREL_HOST_LIVE_CHART_HISTORY_ROUTE_H_
