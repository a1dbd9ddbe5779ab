// The vntaccessd program: its command line (every option may also stand in
// an INI file named by --config), the start of the library and the listener,
// the signals, and the account subcommands `user` and `token`.
//
//   vntaccessd --database DIR --listen ADDR:PORT --tls-cert PEM --tls-key PEM --users FILE
//
// When ready to serve, the first line on standard output is exactly
// "listening on https://ADDR:PORT" with the real port; with
// --metrics-listen, the second is "metrics on http://ADDR:PORT/metrics". Without a
// certificate it refuses to start, unless the address is a loopback one and
// --insecure asks for plain HTTP (said on standard error at every start).
// SIGHUP reloads the users, tokens and certificate; SIGTERM and SIGINT stop
// accepting, let calls in flight finish within the grace period, exit 0.
#ifndef VANTREL_HOST_HOST_APP_H_
#define VANTREL_HOST_HOST_APP_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/host_limits.h"

namespace vantrel::host {

struct HostArgs {
  std::string database;  // empty: DORVIK_DATABASE
  std::string listen = "127.0.0.1:8443";
  std::string tlsCert;
  std::string tlsKey;
  bool insecure = false;
  std::string auth = "users";  // users or pam
  std::string users;           // the users file
  std::string domain;          // empty: the machine's short name in capitals
  std::string registry;        // empty: VANTREL_REGISTRY
  std::string auditLog;
  std::string metricsListen;  // empty: /metrics on the main listener only
  std::size_t ioThreads = 2;
  HostLimits limits;
  // The browser page (host/web).
  std::string webRoot;  // empty: web/ beside the program, else ../share/vntaccessd/web
  int64_t sessionIdleSeconds = 30 * 60;
  int64_t sessionLifetimeSeconds = 12 * 60 * 60;
};

// The address and port of --listen ("127.0.0.1:0", "[::1]:8443"). Throws
// std::invalid_argument naming what is wrong.
std::pair<std::string, uint16_t> ParseListen(const std::string& listen);
// Whether address is a loopback address (127.0.0.0/8, ::1).
bool IsLoopback(const std::string& address);

// Runs the program; returns its exit code (0 stopped by a signal or done,
// 1 could not start, 2 a wrong command line).
int RunHost(const std::vector<std::string>& args);

}  // namespace vantrel::host

#endif  // VANTREL_HOST_HOST_APP_H_
