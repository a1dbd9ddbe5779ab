#include "host/read_routes.h"

#include <algorithm>
#include <array>
#include <exception>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "contracts/json.h"
#include "host/dispatcher.h"
#include "host/query_text.h"
#include "management/management.h"
#include "platform/fault.h"
#include "platform/identity.h"
#include "platform/operation_context.h"
#include "platform/time_zone.h"
#include "views/browse_views.h"
#include "views/current_values.h"
#include "views/errors.h"
#include "views/field_resolver.h"
#include "views/history_query.h"
#include "views/name_catalog.h"
#include "views/progress.h"
#include "views/refs_view.h"
#include "views/time_parse.h"
#include "views/tool_services.h"
#include "views/value_parse.h"

namespace vantrel::host {
namespace {

using contracts::Json;
using Query = std::vector<std::pair<std::string, std::string>>;

// A request over one of the host's limits: answered 413 with the message.
struct OverLimit : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr std::size_t kMostParameters = 6;

struct RouteParameters {
  std::string_view route;
  std::array<std::string_view, kMostParameters> names;  // the first ones; the rest empty
};

constexpr std::array<RouteParameters, 6> kRoutes{{
    {"read", {"record", "field"}},
    {"history", {"record", "field", "from", "to", "max", "outsiders"}},
    {"records", {"definition", "like"}},
    {"fields", {"definition", "record"}},
    {"definitions", {{}}},
    {"refs", {"name", "source"}},
}};

// Every value of name, in order.
std::vector<std::string> All(const Query& query, std::string_view name) {
  std::vector<std::string> values;
  for (const auto& [key, value] : query) {
    if (key == name) values.push_back(value);
  }
  return values;
}

// The one value of name, or nullopt; given twice or empty is a bad request.
std::optional<std::string> One(const Query& query, std::string_view name) {
  const std::vector<std::string> values = All(query, name);
  if (values.empty()) return std::nullopt;
  if (values.size() > 1) throw cli::UsageError(fmt::format("the parameter {} is given {} times; give it once", name,
                                                           values.size()));
  if (values.front().empty()) throw cli::UsageError(fmt::format("the parameter {} is empty", name));
  return values.front();
}

std::string Required(const Query& query, std::string_view name) {
  auto value = One(query, name);
  if (!value) throw cli::UsageError(fmt::format("the parameter {} is needed", name));
  return *value;
}

// The record words of the query, each "TI101,TI102" split as the tool splits them.
std::vector<std::string> RecordWords(const Query& query) {
  std::vector<std::string> records;
  for (const auto& word : All(query, "record")) {
    if (word.empty()) throw cli::UsageError("the parameter record is empty");
    for (auto& name : cli::SplitRecordNames(word)) records.push_back(std::move(name));
  }
  if (records.empty()) throw cli::UsageError("the parameter record is needed");
  return records;
}

void CheckParameters(const RouteParameters& route, const Query& query) {
  for (const auto& [name, value] : query) {
    if (!name.empty() && std::find(route.names.begin(), route.names.end(), name) != route.names.end()) continue;
    std::string known;
    for (const auto taken : route.names) {
      if (!taken.empty()) known += fmt::format("{}{}", known.empty() ? "" : ", ", taken);
    }
    throw cli::UsageError(fmt::format("unknown parameter {} for /v1/{}; {}", name, route.route,
                                      known.empty() ? "it takes none" : "parameters: " + known));
  }
}

void CheckItems(std::size_t items, const HostLimits& limits) {
  if (items > limits.maxItemsPerCall) {
    throw OverLimit(fmt::format("the request names {} items; the limit is {} items per call", items,
                                limits.maxItemsPerCall));
  }
}

// The services of one request as the thread's caller: the library's own, as
// the tool uses them in process.
class RequestSources final : public cli::ViewSources {
 public:
  RequestSources() : access_(cli::MakeLocalToolAccess()) { catalog_.Use(access_.get()); }
  ~RequestSources() override {
    catalog_.Use(nullptr);
    management_.Dispose();
  }
  RequestSources(const RequestSources&) = delete;
  RequestSources& operator=(const RequestSources&) = delete;

  cli::ToolAccess& Access() override { return *access_; }
  contracts::IManagementService& Manage() override { return management_; }
  cli::NameCatalog& Catalog() override { return catalog_; }

 private:
  std::unique_ptr<cli::ToolAccess> access_;
  access::Management management_;
  cli::NameCatalog catalog_;
};

// A time parameter in any of the tool's forms, into `into`; errors name the parameter.
void TimeParameter(const Query& query, std::string_view name, const contracts::DateTime& now,
                   std::optional<contracts::DateTime>& into) {
  if (auto text = One(query, name)) {
    try {
      into = cli::ParseTime(*text, now);
    } catch (const cli::UsageError& error) {
      throw cli::UsageError(fmt::format("{}: {}", name, error.what()));
    }
  }
}

cli::HistoryArgs HistoryQuery(const Query& query, const HostLimits& limits) {
  cli::HistoryArgs args;
  args.now = platform::UtcNow();
  args.records = RecordWords(query);
  args.field = Required(query, "field");
  TimeParameter(query, "from", args.now, args.from);
  TimeParameter(query, "to", args.now, args.to);
  if (auto max = One(query, "max")) {
    args.max = static_cast<int32_t>(cli::ParseInteger(*max, "max", 1, 100'000));
    if (args.max > limits.maxHistoryValuesPerRequest) {
      throw OverLimit(fmt::format("max: {} history values asked; the limit is {} per request", args.max,
                                  limits.maxHistoryValuesPerRequest));
    }
  } else {
    args.max = std::min(args.max, limits.maxHistoryValuesPerRequest);
  }
  if (auto outsiders = One(query, "outsiders")) {
    try {
      args.outsiders = cli::ParseOutsiders(*outsiders);
    } catch (const cli::UsageError& error) {
      const std::string_view message = error.what();
      throw cli::UsageError(fmt::format("outsiders{}", message.substr(message.find(':'))));
    }
    args.outsidersGiven = true;
  }
  return args;
}

cli::Shown ServeRoute(std::string_view route, const Query& query, const HostLimits& limits, std::size_t& items) {
  if (route == "history") {
    const cli::HistoryArgs args = HistoryQuery(query, limits);
    RequestSources sources;
    const auto fields = cli::ResolveHistoryFields(args, sources);
    items = fields.size();
    CheckItems(items, limits);
    const auto histories = cli::ReadHistories(args, fields, sources.Access());
    return cli::ShowHistoryQuery(args, histories, cli::OutputStyle{cli::Format::kJson, true, false}).shown;
  }
  if (route == "refs") {
    cli::RefsArgs args;
    args.names = All(query, "name");
    if (args.names.empty()) throw cli::UsageError("the parameter name is needed");
    for (const auto& name : args.names) {
      if (name.empty()) throw cli::UsageError("the parameter name is empty");
    }
    if (auto source = One(query, "source")) args.source = cli::ParseSource(*source);
    items = args.names.size();
    CheckItems(items, limits);
    RequestSources sources;
    return cli::RefsView(args, sources.Manage());
  }
  RequestSources sources;
  if (route == "read") {
    const auto fields = cli::ResolveReadFields(RecordWords(query), All(query, "field"), sources);
    items = fields.size();
    CheckItems(items, limits);
    return cli::ReadCurrentValues(fields, sources.Access()).shown;
  }
  if (route == "records") {
    const std::vector<std::string> patterns = All(query, "like");
    for (const auto& pattern : patterns) {
      if (pattern.empty()) throw cli::UsageError("like: the pattern is empty; '*' lists every record");
    }
    return cli::RecordsView(Required(query, "definition"), patterns, sources);
  }
  if (route == "fields") {
    auto name = One(query, "definition");
    if (auto record = One(query, "record")) {
      if (name) throw cli::UsageError("give definition or record, not both");
      name = record;
    }
    if (!name) throw cli::UsageError("the parameter definition (or record) is needed");
    return cli::FieldsView(*name, sources);
  }
  return cli::DefinitionsView(sources);
}

HttpResponse Answer(int status, const Json& body) {
  HttpResponse response;
  response.status = status;
  // As the tool prints it: indented by two, a final newline. A name from the
  // query may hold bytes that are not UTF-8; they show as U+FFFD.
  response.body = body.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  return response;
}

HttpResponse Error(int status, const std::string& message) { return ErrorResponse(status, message); }

HttpResponse FaultAnswer(const Json& fault, const Json& reason) {
  HttpResponse response;
  response.status = 422;
  response.body = Json{{"fault", fault}, {"reason", reason}}.dump(-1, ' ', false, Json::error_handler_t::replace);
  return response;
}

}  // namespace

std::string_view ReadRouteName(std::string_view path) {
  constexpr std::string_view kPrefix = "/v1/";
  if (path.substr(0, kPrefix.size()) != kPrefix) return "";
  const std::string_view name = path.substr(kPrefix.size());
  for (const auto& route : kRoutes) {
    if (route.route == name) return route.route;
  }
  return "";
}

HttpResponse AnswerReadRoute(std::string_view route, const HttpRequest& request, const HostLimits& limits,
                             std::size_t& items) {
  const auto known = std::find_if(kRoutes.begin(), kRoutes.end(), [&](const auto& r) { return r.route == route; });
  if (known == kRoutes.end()) return Error(404, fmt::format("no route /v1/{}", route));
  try {
    const Query query = QueryPairs(request.target);
    CheckParameters(*known, query);
    return Answer(200, ServeRoute(route, query, limits, items).json);
  } catch (const cli::UsageError& error) {
    return Error(400, error.what());
  } catch (const cli::NotFoundError& error) {
    return Error(404, error.what());
  } catch (const OverLimit& error) {
    return Error(413, error.what());
  } catch (const platform::FaultException& fault) {
    const Json reason = fault.Reason() ? Json(*fault.Reason()) : Json(nullptr);
    return FaultAnswer(contracts::ToJson(fault.Detail()), reason);
  } catch (const std::exception& error) {
    const platform::FaultException fault = platform::FaultException::FromError(error);
    return FaultAnswer(contracts::ToJson(fault.Detail()), Json(error.what()));
  }
}

HttpResponse Dispatcher::View(const HttpRequest& request, std::string_view route, const Principal& principal) {
  auto fill = [&](HttpResponse response, std::size_t items) {
    response.account = principal.account;
    response.service = "view";
    response.operation = std::string(route);
    response.items = items;
    return response;
  };
  if (!Available()) {
    HttpResponse down = ErrorResponse(503, stopping_ ? "the host is stopping" : "the database is shut down");
    down.headers.emplace_back("Retry-After", "5");
    return fill(std::move(down), 0);
  }
  if (!EnterCall(principal.account)) {
    HttpResponse busy = ErrorResponse(
        429, fmt::format("{} has {} calls in progress, the limit per account", principal.account,
                         limits_.maxCallsPerAccount));
    busy.headers.emplace_back("Retry-After", "1");
    return fill(std::move(busy), 0);
  }
  // The call slot back, and the worker's database user context the host's
  // again, on every path.
  struct Leave {
    Dispatcher& dispatcher;
    const std::string& account;
    ~Leave() {
      dispatcher.runner_.RestoreHostContext();
      dispatcher.LeaveCall(account);
    }
  } leave{*this, principal.account};
  std::size_t items = 0;
  HttpResponse answer;
  {
    platform::OperationContextScope scope(
        platform::OperationContext{platform::ServiceSecurityContext{principal.account}});
    platform::ImpersonationScope caller(principal.account);
    const cli::QuietProgress quiet;  // nothing on the host's terminal
    answer = AnswerReadRoute(route, request, limits_, items);
  }
  return fill(std::move(answer), items);
}

}  // namespace vantrel::host
