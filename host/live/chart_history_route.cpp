#include "host/live/chart_history_route.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <iterator>
#include <utility>

#include <fmt/format.h>

#include "contracts/json.h"
#include "data/data_access.h"
#include "host/live/chart_decimation.h"
#include "host/query_text.h"
#include "platform/fault.h"
#include "platform/operation_context.h"
#include "platform/time_zone.h"
#include "server/server_management.h"

namespace vantrel::host::live {
namespace {

using contracts::DateTime;
using contracts::Json;
using contracts::TagValue;
using contracts::TagValues;

// A parameter the caller got wrong: answered 400 with the message.
struct BadParameter : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A record or field the database does not have: answered 404.
struct NotFound : std::runtime_error {
  using std::runtime_error::runtime_error;
};

HttpResponse JsonAnswer(int status, const Json& body) {
  HttpResponse response;
  response.status = status;
  // A record or field name from the query may hold bytes that are not
  // UTF-8; the answer names it with U+FFFD in their place rather than failing.
  response.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
  return response;
}

// The parsed request: which field, which interval, how wide.
struct ChartQuery {
  std::string record;
  std::string field;
  DateTime from;
  DateTime to;
  int32_t points = 0;
  contracts::OutsidersRequestTypeEnum outsiders = contracts::OutsidersRequestTypeEnum::None;
};

const std::string& Required(const std::map<std::string, std::string>& query, const std::string& name) {
  const auto found = query.find(name);
  if (found == query.end() || found->second.empty()) {
    throw BadParameter(fmt::format("the parameter {} is needed", name));
  }
  return found->second;
}

DateTime TimeParameter(const std::map<std::string, std::string>& query, const std::string& name, DateTime fallback) {
  const auto found = query.find(name);
  if (found == query.end() || found->second.empty()) return fallback;
  try {
    return DateTime::Parse(found->second);
  } catch (const std::exception& error) {
    throw BadParameter(fmt::format("{}: {}", name, error.what()));
  }
}

ChartQuery ParseQuery(const std::map<std::string, std::string>& query) {
  ChartQuery chart;
  chart.record = Required(query, "record");
  chart.field = Required(query, "field");
  const std::string& points = Required(query, "points");
  const auto [end, error] = std::from_chars(points.data(), points.data() + points.size(), chart.points);
  if (error != std::errc() || end != points.data() + points.size() || chart.points < 1 ||
      chart.points > ChartWindow::kMaxColumns) {
    throw BadParameter(fmt::format("points must be a whole number from 1 to {}", ChartWindow::kMaxColumns));
  }
  chart.to = TimeParameter(query, "to", platform::UtcNow());
  chart.from = TimeParameter(query, "from", chart.to.AddTicks(-DateTime::kTicksPerDay));
  if (chart.from > chart.to) std::swap(chart.from, chart.to);
  if (const auto outsiders = query.find("outsiders"); outsiders != query.end()) {
    try {
      chart.outsiders = contracts::FromJson<contracts::OutsidersRequestTypeEnum>(Json(outsiders->second));
    } catch (const std::exception&) {
      throw BadParameter(fmt::format("outsiders: {} is not a kind of outsiders (None, BeforeA, BothA, ...)",
                                     outsiders->second));
    }
  }
  return chart;
}

// What the chart of a query shows, with the count of raw values it was
// reduced from.
struct ChartSeries {
  TagValues shown;
  std::size_t raw = 0;
  bool truncated = false;  // the read stopped at kMaxRawValues
};

// The query's field's history, read in pages as the current thread's caller
// and reduced page by page: the reduction of what earlier pages kept plus
// the next page is the reduction of all their raw values (each column and
// run keeps its first, last, least and greatest value, and those of a part
// are among those of the whole), so a million values never lie in memory
// at once.
ChartSeries ReadForChart(const ChartQuery& chart) {
  access::DataAccess data;
  const int32_t recordId = data.GetRecordID(chart.record);
  const int32_t fieldId = data.GetAttributeID(chart.field);
  if (recordId <= 0) throw NotFound(fmt::format("no record {}", chart.record));
  if (fieldId <= 0) throw NotFound(fmt::format("no field {}", chart.field));
  const int32_t pageSize = access::ServerManagement::kMaxHistorySizePerCall;
  const ChartWindow window{chart.from, chart.to, chart.points};
  ChartSeries result;
  TagValues kept;  // what the pages so far keep, then the next page's values
  // Each page's answer is held until the next page has been read, so that
  // the next one reuses its freed block (some 700 KB) instead of faulting in
  // pages the allocator gave back to the kernel.
  contracts::TagValuesByIds previous;
  DateTime pageStart = chart.from;
  for (bool first = true;; first = false) {
    contracts::HistoryRequestById request;
    request.TagId = recordId;
    request.FieldId = fieldId;
    request.Query.StartTime = pageStart;
    request.Query.EndTime = chart.to;
    request.Query.MaxCount = pageSize;
    request.Query.OusidersType = chart.outsiders;
    auto answer = data.GetHistoryValuesByIds({request});
    TagValues& page = answer[recordId][fieldId];
    int32_t inside = 0;
    DateTime lastInside = pageStart;
    TagValues after;  // outsiders after the interval, kept only from the last page
    for (TagValue& value : page) {
      if (value.Timestamp < pageStart) {
        if (!first) continue;
      } else if (value.Timestamp > chart.to) {
        after.push_back(std::move(value));
        continue;
      } else {
        ++inside;
        lastInside = value.Timestamp;
      }
      kept.push_back(std::move(value));
      ++result.raw;
    }
    // A full page (its outsiders count against the limit too) may have
    // left values behind; the next page starts just after its last value.
    const bool more = static_cast<int32_t>(page.size()) >= pageSize && inside > 0 && lastInside < chart.to;
    const bool stop = !more || static_cast<int64_t>(result.raw) >= kMaxRawValues;
    if (stop && !more) {
      result.raw += after.size();
      std::move(after.begin(), after.end(), std::back_inserter(kept));
    }
    kept = DecimateSeries(kept, window);
    if (stop) {
      result.truncated = more;
      result.shown = std::move(kept);
      return result;
    }
    pageStart = lastInside.AddTicks(1);
    previous = std::move(answer);
  }
}

}  // namespace

std::map<std::string, std::string> QueryParameters(std::string_view target) {
  std::map<std::string, std::string> parameters;
  for (auto& [name, value] : QueryPairs(target)) parameters[std::move(name)] = std::move(value);
  return parameters;
}

std::optional<HttpResponse> ChartHistoryRoute(const HttpRequest& request, const std::string& account) {
  const std::string_view target = request.target;
  const std::string_view path = target.substr(0, target.find('?'));
  if (path != "/v1/history" || request.method != "GET") return std::nullopt;
  const auto parameters = QueryParameters(target);
  if (!parameters.contains("points")) return std::nullopt;
  try {
    const ChartQuery chart = ParseQuery(parameters);
    platform::OperationContext context;
    context.SecurityContext = platform::ServiceSecurityContext{account};
    platform::OperationContextScope scope(std::move(context));
    const ChartSeries series = platform::ServeOperation(access::DataAccess::kOperations, "GetHistoryValuesByIds",
                                                        [&] { return ReadForChart(chart); });
    Json body{{"record", chart.record}, {"field", chart.field},
              {"from", contracts::ToJson(chart.from)}, {"to", contracts::ToJson(chart.to)},
              {"points", chart.points}, {"raw", series.raw}, {"truncated", series.truncated},
              {"values", contracts::ToJson(series.shown)}};
    HttpResponse response = JsonAnswer(200, body);
    response.account = account;
    response.items = series.shown.size();
    return response;
  } catch (const BadParameter& error) {
    return JsonAnswer(400, Json{{"error", error.what()}});
  } catch (const NotFound& error) {
    return JsonAnswer(404, Json{{"error", error.what()}});
  } catch (const platform::FaultException& fault) {
    const Json reason = fault.Reason() ? Json(*fault.Reason()) : Json(nullptr);
    return JsonAnswer(422, Json{{"fault", contracts::ToJson(fault.Detail())}, {"reason", reason}});
  } catch (const std::exception& error) {
    const platform::FaultException fault = platform::FaultException::FromError(error);
    return JsonAnswer(422, Json{{"fault", contracts::ToJson(fault.Detail())}, {"reason", error.what()}});
  }
}

}  // namespace vantrel::host::live
