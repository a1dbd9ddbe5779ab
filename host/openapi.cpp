#include "host/openapi.h"

#include <array>
#include <string>

#include <fmt/format.h>

#include "contracts/operation_table.h"
#include "wire/history_columns.h"

namespace vantrel::host {
namespace {

using contracts::Json;

constexpr std::array kFixedRoutes{
    FixedRoute{"GET", "/v1/health", "whether the host serves the database (no login)", "application/json", false,
               ""},
    FixedRoute{"GET", "/v1/version", "the host's version", "application/json", true, ""},
    FixedRoute{"GET", "/v1/openapi.json", "this document", "application/json", true, ""},
    FixedRoute{"GET", "/metrics", "calls, latency, connections and failed logins in the Prometheus text format",
               "text/plain", true, ""},
    FixedRoute{"GET", "/v1/read", "current values as `vntaccess read --json` prints them (field repeats; none: all)",
               "application/json", true, "record,field"},
    FixedRoute{"GET", "/v1/history",
               "history as `vntaccess history --json` prints it; with points, thinned to a chart's pixel columns",
               "application/json", true, "record,field,from,to,max,outsiders,points"},
    FixedRoute{"GET", "/v1/records", "the records of a definition as `vntaccess records --json` prints them",
               "application/json", true, "definition,like"},
    FixedRoute{"GET", "/v1/fields", "the fields of a definition as `vntaccess fields --json` prints them",
               "application/json", true, "definition,record"},
    FixedRoute{"GET", "/v1/definitions", "every definition as `vntaccess definitions --json` prints them",
               "application/json", true, ""},
    FixedRoute{"GET", "/v1/refs", "where names are referenced, as `vntaccess refs --json` prints it",
               "application/json", true, "name,source"},
    FixedRoute{"GET", "/v1/live", "live values over a WebSocket (an upgrade request)", "application/json", true,
               ""},
    FixedRoute{"POST", "/v1/login", "the browser page's login: {user, password} sets the session cookie",
               "application/json", false, ""},
    FixedRoute{"POST", "/v1/logout", "ends the browser page's session (X-CSRF-Token)", "application/json", true, ""},
    FixedRoute{"GET", "/v1/session", "the browser page's session: user, account and CSRF token",
               "application/json", true, ""},
};

// The answers every call may give besides 200.
Json CallErrorAnswers() {
  Json answers = Json::object();
  const std::array<std::pair<const char*, const char*>, 10> statuses{{
      {"400", "malformed body, unknown or missing parameter, or wrong shape (the JSON path is named)"},
      {"401", "not authenticated"},
      {"403", "refused by the host"},
      {"404", "unknown service or operation (with a suggestion)"},
      {"405", "wrong method"},
      {"408", "the request was not received in time"},
      {"413", "body or call over a limit (the limit is named)"},
      {"422", "a service fault: {\"fault\": ServiceException, \"reason\": text}"},
      {"429", "too many calls at once for the account, or too many failed logins"},
      {"503", "the host is stopping or the database is shut down (Retry-After)"},
  }};
  for (const auto& [status, description] : statuses) {
    const char* schema = std::string_view(status) == "422" ? "Fault" : "Error";
    answers[status] = {{"description", description},
                       {"content", {{"application/json", {{"schema", {{"$ref", fmt::format("#/components/schemas/{}",
                                                                                           schema)}}}}}}}};
  }
  return answers;
}

// A contract type as a schema: its name in the contracts' JSON form.
Json TypeSchema(std::string_view typeName) {
  if (typeName == "int32") return {{"type", "integer"}, {"format", "int32"}};
  if (typeName == "bool") return {{"type", "boolean"}};
  if (typeName == "string") return {{"type", "string"}};
  return {{"description", fmt::format("{} in the contracts' JSON form (docs/HTTP.md)", typeName)}};
}

Json RequestBody(const contracts::Operation& operation) {
  Json properties = Json::object();
  Json required = Json::array();
  for (const auto& parameter : operation.parameters) {
    properties[std::string(parameter.name)] = TypeSchema(parameter.typeName);
    required.push_back(std::string(parameter.name));
  }
  Json schema = {{"type", "object"}, {"additionalProperties", false}, {"properties", properties}};
  if (!required.empty()) schema["required"] = required;
  return {{"required", !operation.parameters.empty()}, {"content", {{"application/json", {{"schema", schema}}}}}};
}

Json CallPath(const contracts::Operation& operation) {
  const std::string service(contracts::ServiceName(operation.service));
  Json result = operation.resultType.empty()
                    ? Json{{"type", "object"}, {"description", "{} for an operation without a result"}}
                    : Json{{"type", "object"},
                           {"required", {"result"}},
                           {"properties", {{"result", TypeSchema(operation.resultType)}}}};
  Json content = {{"application/json", {{"schema", result}}}};
  if (operation.name == "GetHistoryValuesByIds") {
    content[std::string(wire::kColumnsMediaType)] = {
        {"schema", {{"type", "string"}, {"format", "binary"}}},
        {"x-description", "the columnar answer, when Accept names it (docs/HTTP.md)"}};
  }
  Json answers = CallErrorAnswers();
  answers["200"] = {{"description", "done"}, {"content", content}};
  Json post = {{"operationId", fmt::format("{}.{}", service, operation.name)},
               {"summary", std::string(operation.summary)},
               {"tags", {service}},
               {"requestBody", RequestBody(operation)},
               {"responses", answers}};
  if (operation.changesDatabase) post["x-changes-database"] = true;
  return {{"post", post}};
}

Json FixedPath(const FixedRoute& route) {
  Json parameters = Json::array();
  std::string_view names = route.parameters;
  while (!names.empty()) {
    const auto comma = names.find(',');
    std::string name(names.substr(0, comma));
    names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
    parameters.push_back({{"name", name}, {"in", "query"}, {"schema", {{"type", "string"}}}});
  }
  Json operation = {
      {"summary", std::string(route.summary)},
      {"responses",
       {{"200", {{"description", "done"}, {"content", {{std::string(route.contentType), Json::object()}}}}}}}};
  if (!parameters.empty()) operation["parameters"] = parameters;
  if (!route.needsLogin) operation["security"] = Json::array();
  std::string method(route.method);
  for (auto& c : method) c = static_cast<char>(c - 'A' + 'a');
  return {{method, operation}};
}

Json Components() {
  return {{"securitySchemes",
           {{"basic", {{"type", "http"}, {"scheme", "basic"}}},
            {"bearer", {{"type", "http"}, {"scheme", "bearer"}}}}},
          {"schemas",
           {{"Error",
             {{"type", "object"}, {"required", {"error"}}, {"properties", {{"error", {{"type", "string"}}}}}}},
            {"Fault",
             {{"type", "object"},
              {"required", {"fault", "reason"}},
              {"properties",
               {{"fault", {{"type", "object"}, {"description", "the ServiceException"}}},
                {"reason", {{"type", "string"}, {"nullable", true}}}}}}}}}};
}

}  // namespace

std::span<const FixedRoute> FixedRoutes() { return kFixedRoutes; }

Json OpenApiDocument(std::string_view version) {
  Json paths = Json::object();
  for (const auto& route : kFixedRoutes) {
    Json& path = paths[std::string(route.path)];
    path.update(FixedPath(route));
  }
  for (const auto& operation : contracts::Operations()) {
    paths[fmt::format("/v1/{}/{}", contracts::ServiceName(operation.service), operation.name)] =
        CallPath(operation);
  }
  return {{"openapi", "3.0.3"},
          {"info",
           {{"title", "vntaccessd"},
            {"version", std::string(version)},
            {"description", "The access service host: the data, management and server services over HTTPS."}}},
          {"servers", {{{"url", "/"}}}},
          {"security", {{{"basic", Json::array()}}, {{"bearer", Json::array()}}}},
          {"paths", paths},
          {"components", Components()}};
}

}  // namespace vantrel::host
