// The handler of the metrics listener (vntaccessd --metrics-listen): a
// second listener, on a loopback address only, that answers GET /metrics
// with the Prometheus text and nothing else, without credentials, so that a
// scraper on the host's machine needs no account. The main listener serves
// the same text behind authentication for scrapers elsewhere.
//
// Thread-safe when source is.
#ifndef VANTREL_HOST_METRICS_LISTENER_H_
#define VANTREL_HOST_METRICS_LISTENER_H_

#include <functional>
#include <string>

#include "host/http_message.h"

namespace vantrel::host {

// GET (or HEAD) /metrics: 200 with source()'s text; any other path 404 and
// any other method 405, each with a JSON error naming what this listener
// serves.
std::function<HttpResponse(const HttpRequest&)> MetricsOnlyHandler(std::function<std::string()> source);

}  // namespace vantrel::host

#endif  // VANTREL_HOST_METRICS_LISTENER_H_
