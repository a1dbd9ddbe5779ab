// The host's API described as an OpenAPI 3 document, served at
// GET /v1/openapi.json. The calls come from the one operation table
// (contracts/operation_table.h) and the other routes from FixedRoutes, so
// the document names exactly what the host serves.
//
// Immutable tables and a pure function; safe from any thread.
#ifndef VANTREL_HOST_OPENAPI_H_
#define VANTREL_HOST_OPENAPI_H_

#include <span>
#include <string_view>

#include "contracts/json.h"

namespace vantrel::host {

// A route of the host other than the calls POST /v1/{service}/{operation}.
struct FixedRoute {
  std::string_view method;       // "GET"
  std::string_view path;         // "/v1/health"
  std::string_view summary;      // one line
  std::string_view contentType;  // of a 200 answer
  bool needsLogin = true;
  std::string_view parameters;  // query parameters, "name,name" (repeatable ones end in "*")
};

// Every fixed route the dispatcher serves, in the order docs/HTTP.md tells them.
std::span<const FixedRoute> FixedRoutes();

// The OpenAPI 3.0 document of the host at version.
contracts::Json OpenApiDocument(std::string_view version);

}  // namespace vantrel::host

#endif  // VANTREL_HOST_OPENAPI_H_
