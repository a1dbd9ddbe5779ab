// The read-only GET routes for people and scripts: each answers with exactly
// the JSON that `vntaccess --json` prints for the same command on the same
// database, the tool's argument and option names as query parameters:
//
//   GET /v1/read?record=TI101&field=VALUE      record and field repeat; no field: every field
//   GET /v1/history?record=TI101&field=VALUE&from=-6h&to=now&max=100&outsiders=BothA
//   GET /v1/records?definition=VN_AnalogDef&like=TI*   like repeats
//   GET /v1/fields?definition=P101             a definition or a record
//   GET /v1/definitions
//   GET /v1/refs?name=TI101&source=calc        name repeats
//
// A record word may be a pattern ('TI*') or a comma list, as in the tool.
// The views themselves are the tool's (views/); this file reads the query
// and maps what goes wrong to a status: 400 a bad or unknown parameter (the
// message names it), 404 a name that resolves to nothing (with the tool's
// suggestions), 413 over the host's items or history limit, 422 a service
// fault. The dispatcher runs them as the proven caller (Dispatcher::View).
#ifndef VANTREL_HOST_READ_ROUTES_H_
#define VANTREL_HOST_READ_ROUTES_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/host_limits.h"
#include "host/http_message.h"

namespace vantrel::host {

// The name of the read route of path ("read" for /v1/read), or "" when path
// is none of them.
std::string_view ReadRouteName(std::string_view path);

// Answers the read route `route` of request on the calling thread, as the
// thread's current caller (the dispatcher sets it); items is set to the
// fields or names asked. Never throws.
HttpResponse AnswerReadRoute(std::string_view route, const HttpRequest& request, const HostLimits& limits,
                             std::size_t& items);

}  // namespace vantrel::host

#endif  // VANTREL_HOST_READ_ROUTES_H_
