// HostLimits: every limit of vntaccessd, each with its default and the
// command-line option that changes it. An over-limit answer names the limit
// and its value, so the option to change is in the message.
#ifndef VANTREL_HOST_HOST_LIMITS_H_
#define VANTREL_HOST_HOST_LIMITS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vantrel::host {

struct HostLimits {
  std::size_t maxBodyBytes = 16 * 1024 * 1024;        // --max-body: a request's body (413)
  std::size_t maxItemsPerCall = 20'000;               // --max-items: names, ids or values in one call (413)
  int32_t maxHistoryValuesPerRequest = 10'000;        // --max-history: maxCount of one history request (413)
  std::size_t maxConnections = 1'024;                 // --max-connections: open connections (503)
  std::size_t maxCallsPerAccount = 16;                // --max-calls-per-account: calls at once (429)
  std::chrono::seconds callTimeout{30};               // --call-timeout: answer of one call (503)
  std::chrono::seconds requestTimeout{10};            // --request-timeout: receiving a request (408)
  std::chrono::seconds idleTimeout{60};               // --idle-timeout: a keep-alive connection idle
  std::chrono::seconds shutdownGrace{10};             // --grace: calls in flight at SIGTERM
  std::size_t workers = 8;                            // --workers: threads running operations
  std::size_t queueDepth = 1'024;                     // --queue: calls waiting for a worker (503)
};

}  // namespace vantrel::host

#endif  // VANTREL_HOST_HOST_LIMITS_H_
