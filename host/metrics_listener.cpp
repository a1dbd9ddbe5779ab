#include "host/metrics_listener.h"

#include <string>
#include <string_view>
#include <utility>

#include "host/dispatcher.h"

namespace vantrel::host {

std::function<HttpResponse(const HttpRequest&)> MetricsOnlyHandler(std::function<std::string()> source) {
  return [source = std::move(source)](const HttpRequest& request) {
    const std::string_view target = request.target;
    const std::string_view path = target.substr(0, target.find('?'));
    if (path != "/metrics") return ErrorResponse(404, "this listener serves GET /metrics only");
    if (request.method != "GET" && request.method != "HEAD") {
      HttpResponse refused = ErrorResponse(405, "/metrics takes GET, not " + request.method);
      refused.headers.emplace_back("Allow", "GET, HEAD");
      return refused;
    }
    HttpResponse metrics;
    metrics.contentType = "text/plain; version=0.0.4";
    metrics.body = source();
    return metrics;
  };
}

}  // namespace vantrel::host
