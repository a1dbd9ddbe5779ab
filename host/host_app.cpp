#include "host/host_app.h"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "engine/control.h"
#include "global/vnt_global.h"
#include "host/audit_log.h"
#include "host/auth/authenticators.h"
#include "host/call_runner.h"
#include "host/database_watch.h"
#include "host/dispatcher.h"
#include "host/http_server.h"
#include "host/live_socket.h"
#include "host/metrics.h"
#include "host/web/page_front.h"
#include "host/metrics_listener.h"
#include "host/service_notify.h"
#include "host/worker_pool.h"
#include "platform/exceptions.h"
#include "platform/fault.h"
#include "platform/identity.h"
#include "platform/registry.h"

namespace vantrel::host {
namespace {

constexpr int kStartFailed = 1;
constexpr int kUsage = 2;
// Connections the metrics listener takes at once: scrapers, not clients.
constexpr std::size_t kMetricsConnections = 16;

template <typename Rep>
void AddSeconds(CLI::App& app, const std::string& name, std::chrono::duration<Rep>& value, const std::string& what) {
  app.add_option_function<int64_t>(
         name, [&value](int64_t seconds) { value = std::chrono::duration<Rep>(seconds); },
         fmt::format("{} in seconds (default {})", what, value.count()))
      ->type_name("SECONDS")
      ->check(CLI::Range(int64_t{1}, int64_t{86'400}));
}

void DeclareLimits(CLI::App& app, HostLimits& limits) {
  app.add_option("--workers", limits.workers, "threads running operations (default 8)")
      ->check(CLI::Range(1, 256));
  app.add_option("--queue", limits.queueDepth, "calls waiting for a worker before 503 (default 1024)")
      ->check(CLI::Range(1, 1'000'000));
  app.add_option("--max-body", limits.maxBodyBytes, "largest request body in bytes (default 16 MiB)")
      ->check(CLI::Range(std::size_t{1024}, std::size_t{1} << 30));
  app.add_option("--max-items", limits.maxItemsPerCall, "names, ids or values in one call (default 20000)")
      ->check(CLI::Range(1, 10'000'000));
  app.add_option("--max-history", limits.maxHistoryValuesPerRequest,
                 "history values one request may ask for (default 10000)")
      ->check(CLI::Range(1, 10'000'000));
  app.add_option("--max-connections", limits.maxConnections, "open connections (default 1024)")
      ->check(CLI::Range(1, 1'000'000));
  app.add_option("--max-calls-per-account", limits.maxCallsPerAccount, "calls at once per account (default 16)")
      ->check(CLI::Range(1, 100'000));
  AddSeconds(app, "--call-timeout", limits.callTimeout, "time for one call's answer");
  AddSeconds(app, "--request-timeout", limits.requestTimeout, "time to receive a request's headers and body");
  AddSeconds(app, "--idle-timeout", limits.idleTimeout, "time a keep-alive connection may stay idle");
  AddSeconds(app, "--grace", limits.shutdownGrace, "time for calls in flight at SIGTERM");
}

void DeclareOptions(CLI::App& app, HostArgs& args) {
  app.set_config("--config", "", "read options from an INI file (NAME = VALUE lines, the long option names)");
  app.add_option("--database", args.database, "the database folder (default: the DORVIK_DATABASE variable)")
      ->type_name("DIR");
  app.add_option("--listen", args.listen, "address and port to serve (default 127.0.0.1:8443; port 0: a free one)")
      ->type_name("ADDR:PORT");
  app.add_option("--tls-cert", args.tlsCert, "the server's certificate chain (PEM)")->type_name("PEM");
  app.add_option("--tls-key", args.tlsKey, "the certificate's private key (PEM)")->type_name("PEM");
  app.add_flag("--insecure", args.insecure, "serve plain HTTP without a certificate (loopback addresses only)");
  app.add_option("--auth", args.auth, "how callers log in: users (the users file) or pam")
      ->check(CLI::IsMember({"users", "pam"}));
  app.add_option("--users", args.users, "the users file (vntaccessd user add ... makes it)")->type_name("FILE");
  app.add_option("--domain", args.domain, "the domain of the accounts (default: the machine's name in capitals)")
      ->type_name("NAME");
  app.add_option("--registry", args.registry, "the registry export naming the system account (default: "
                                                "the VANTREL_REGISTRY variable)")
      ->type_name("FILE");
  app.add_option("--audit-log", args.auditLog, "a JSON line per call is appended to this file")->type_name("FILE");
  app.add_option("--web-root", args.webRoot, "the browser page's folder (default: web/ beside the program)")
      ->type_name("DIR");
  app.add_option("--session-idle", args.sessionIdleSeconds, "a page login ends after this many idle seconds "
                                                            "(default 1800)")
      ->check(CLI::Range(int64_t{60}, int64_t{86'400}));
  app.add_option("--session-lifetime", args.sessionLifetimeSeconds, "a page login ends this many seconds after "
                                                                    "it began (default 43200)")
      ->check(CLI::Range(int64_t{60}, int64_t{7 * 86'400}));
  app.add_option("--metrics-listen", args.metricsListen,
                 "also serve GET /metrics without credentials on this loopback address and port (plain HTTP)")
      ->type_name("ADDR:PORT");
  app.add_option("--io-threads", args.ioThreads, "threads doing network I/O (default 2)")->check(CLI::Range(1, 64));
  DeclareLimits(app, args.limits);
}

// Refuses a start that could not be served safely.
void CheckStart(const HostArgs& args, const std::string& address) {
  const bool tls = !args.tlsCert.empty() || !args.tlsKey.empty();
  if (tls && (args.tlsCert.empty() || args.tlsKey.empty())) {
    throw std::invalid_argument("--tls-cert and --tls-key go together");
  }
  if (!tls && !args.insecure) {
    throw std::invalid_argument(
        "no certificate: give --tls-cert and --tls-key (or --insecure for plain HTTP on a loopback address)");
  }
  if (!tls && !IsLoopback(address)) {
    throw std::invalid_argument(fmt::format("--insecure serves loopback addresses only, not {}", address));
  }
  if (tls && args.insecure) throw std::invalid_argument("--insecure and a certificate exclude each other");
  if (!args.metricsListen.empty()) {
    const std::string metricsAddress = ParseListen(args.metricsListen).first;
    if (!IsLoopback(metricsAddress)) {
      throw std::invalid_argument(fmt::format(
          "--metrics-listen serves loopback addresses only, not {}; scrapers elsewhere use /metrics on --listen "
          "with a token",
          metricsAddress));
    }
  }
  if (args.auth == "users" && args.users.empty()) {
    throw std::invalid_argument("no users file: give --users FILE (or --auth pam)");
  }
}

// The page's folder: --web-root, else web/ beside the program, else the
// installed ../share/vntaccessd/web; none when there is no such folder.
std::optional<std::filesystem::path> FindWebRoot(const HostArgs& args) {
  if (!args.webRoot.empty()) return std::filesystem::path(args.webRoot);
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
  for (const auto& candidate : {program / "web", program / ".." / "share" / "vntaccessd" / "web"}) {
    if (std::filesystem::is_regular_file(candidate / "index.html", error)) return candidate;
  }
  return std::nullopt;
}

std::unique_ptr<web::PageFront> MakePageFront(const HostArgs& args, Authenticator& authenticator) {
  web::PageOptions options;
  options.webRoot = FindWebRoot(args);
  options.tls = !args.tlsCert.empty();
  options.sessions.idleLimit = std::chrono::seconds(args.sessionIdleSeconds);
  options.sessions.absoluteLimit = std::chrono::seconds(args.sessionLifetimeSeconds);
  if (!options.webRoot) std::cerr << "vntaccessd: no web/ folder found; the browser page is not served\n";
  return std::make_unique<web::PageFront>(authenticator, options);
}

std::unique_ptr<Authenticator> MakeAuthenticator(const HostArgs& args) {
  if (args.auth == "pam") return MakePamAuthenticator(args.domain);
  return MakeUsersFileAuthenticator(args.users, args.domain);
}

// The host's reference to the library, given back when the host ends, after
// everything that uses the library.
struct LibraryReference {
  LibraryReference() = default;
  LibraryReference(const LibraryReference&) = delete;
  LibraryReference& operator=(const LibraryReference&) = delete;
  ~LibraryReference() { access::VntGlobal::UninitializeVantrel(); }
};

// Opens the database on this machine (the embedded engine's store), points
// the library at the registry, then takes the library's reference.
void OpenLibrary(const HostArgs& args) {
  std::string database = args.database;
  if (database.empty() && std::getenv("DORVIK_DATABASE") != nullptr) database = std::getenv("DORVIK_DATABASE");
  if (database.empty()) throw std::runtime_error("no database: name it with --database DIR or DORVIK_DATABASE");
  database = std::filesystem::absolute(database).string();
  ::setenv("DORVIK_DATABASE", database.c_str(), 1);
  try {
    dorvik::Open(database);
  } catch (const dorvik::DatabaseError& error) {
    throw std::runtime_error(fmt::format("cannot open the database {}: {}", database, error.what()));
  }
  if (!args.registry.empty()) {
    ::setenv(platform::kRegistryFileVariable, std::filesystem::absolute(args.registry).c_str(), 1);
  }
  if (!access::VntGlobal::InitializeVantrel()) {
    throw std::runtime_error("cannot open the database (name it with --database or DORVIK_DATABASE)");
  }
}

// The listener of --metrics-listen (plain HTTP on a loopback address, the
// start checked that), or none. Its few connections share the workers.
std::unique_ptr<HttpServer> MakeMetricsServer(const HostArgs& args, WorkerPool& pool,
                                              std::function<std::string()> text) {
  if (args.metricsListen.empty()) return nullptr;
  const auto [address, port] = ParseListen(args.metricsListen);
  HostLimits limits = args.limits;
  limits.maxConnections = kMetricsConnections;
  ServerOptions options{address, port, std::nullopt, 1, limits};
  return std::make_unique<HttpServer>(options, pool, MetricsOnlyHandler(std::move(text)));
}

// Serves until SIGTERM or SIGINT; SIGHUP reloads. The signals are blocked in
// every thread and taken here.
int Serve(const HostArgs& args, const std::string& address, uint16_t port, const sigset_t& signals) {
  std::unique_ptr<Authenticator> authenticator = MakeAuthenticator(args);
  OpenLibrary(args);
  const LibraryReference library;
  const CallRunner runner(platform::CurrentThreadAccount());
  // The dispatch and the live values hub outlive the workers: the pool's
  // destructor still runs the jobs queued, which use them.
  Dispatcher dispatcher(*authenticator, runner, args.limits);
  const std::unique_ptr<web::PageFront> page = MakePageFront(args, *authenticator);
  dispatcher.SetPageGate(page.get());
  live::LiveHub liveHub;  // the WebSocket /v1/live (host/live_socket.h); outlives the listener
  WorkerPool pool(args.limits.workers, args.limits.queueDepth, [&runner] { runner.RestoreHostContext(); });
  LiveService live(liveHub, pool);
  liveHub.Start();
  const DatabaseWatch watch([&dispatcher](bool down) { dispatcher.SetDatabaseDown(down); });
  ServerOptions options{address, port, std::nullopt, args.ioThreads, args.limits};
  options.live = &live;
  if (!args.tlsCert.empty()) options.tls = TlsFiles{args.tlsCert, args.tlsKey};
  std::unique_ptr<AuditLog> audit;
  if (!args.auditLog.empty()) audit = std::make_unique<AuditLog>(args.auditLog);
  Metrics metrics;
  auto observer = [&audit, &metrics](const HttpRequest& request, const HttpResponse& response,
                                     std::chrono::microseconds took) {
    if (request.target == "/v1/health") return;
    metrics.Record(response.service, response.operation.empty() ? "other" : response.operation, response.status,
                   took);
    // The page's own files are no calls: they go to the metrics, not to the audit log.
    const bool pageFile = request.target.rfind("/v1/", 0) != 0 && request.target.rfind("/metrics", 0) != 0;
    if (audit && !pageFile) audit->Record(request, response, took);
  };
  HttpServer server(
      options, pool, [&dispatcher](const HttpRequest& request) { return dispatcher.Handle(request); }, observer);
  auto metricsText = [&] {
    return metrics.Text({server.Connections(), pool.Pending(), authenticator->FailedLogins()});
  };
  dispatcher.SetMetricsSource(metricsText);
  std::unique_ptr<HttpServer> metricsServer = MakeMetricsServer(args, pool, metricsText);
  server.Start();
  if (metricsServer) metricsServer->Start();
  if (args.insecure) {
    std::cerr << "vntaccessd: serving plain HTTP without TLS (--insecure): credentials cross unencrypted; "
                 "use it on this machine only\n";
  }
  std::cout << "listening on " << server.Url() << std::endl;
  if (metricsServer) std::cout << "metrics on " << metricsServer->Url() << "/metrics" << std::endl;
  NotifyServiceManager(ServiceState::kReady);
  for (;;) {
    int signal = 0;
    if (::sigwait(&signals, &signal) != 0) continue;
    if (signal == SIGHUP) {
      NotifyServiceManager(ServiceState::kReloading);
      authenticator->Reload();
      page->RevokeAll();  // a removed user's page login ends with the reload
      if (audit) audit->Reopen();
      try {
        server.ReloadCertificate();
      } catch (const std::exception& error) {
        std::cerr << "vntaccessd: kept the old certificate: " << error.what() << "\n";
      }
      NotifyServiceManager(ServiceState::kReady);
      continue;
    }
    NotifyServiceManager(ServiceState::kStopping);
    dispatcher.SetStopping();
    if (metricsServer) metricsServer->Stop(std::chrono::seconds(0));
    server.Stop(args.limits.shutdownGrace);
    break;
  }
  return 0;
}

}  // namespace

std::pair<std::string, uint16_t> ParseListen(const std::string& listen) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos || colon + 1 == listen.size()) {
    throw std::invalid_argument(fmt::format("--listen {}: expected ADDRESS:PORT", listen));
  }
  std::string address = listen.substr(0, colon);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  const std::string portText = listen.substr(colon + 1);
  if (address.empty() || portText.size() > 5 ||
      !std::all_of(portText.begin(), portText.end(), [](unsigned char c) { return std::isdigit(c); }) ||
      std::stoi(portText) > 65535) {
    throw std::invalid_argument(fmt::format("--listen {}: expected ADDRESS:PORT with a port up to 65535", listen));
  }
  return {address, static_cast<uint16_t>(std::stoi(portText))};
}

bool IsLoopback(const std::string& address) { return address.rfind("127.", 0) == 0 || address == "::1"; }

int RunHost(const std::vector<std::string>& args) {
  if (!args.empty() && (args[0] == "user" || args[0] == "token")) {
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    return args[0] == "user" ? RunUserCommand(rest, std::cin, std::cout, std::cerr)
                             : RunTokenCommand(rest, std::cin, std::cout, std::cerr);
  }
  HostArgs host;
  CLI::App app("vntaccessd serves the tag access library's three services over HTTPS.\n"
               "Accounts: vntaccessd user add NAME --users FILE --password-stdin; "
               "vntaccessd token issue NAME --users FILE.",
               "vntaccessd");
  DeclareOptions(app, host);
  std::string address;
  uint16_t port = 0;
  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
    std::tie(address, port) = ParseListen(host.listen);
    CheckStart(host, address);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  } catch (const std::invalid_argument& error) {
    std::cerr << "vntaccessd: " << error.what() << "\n";
    return kUsage;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  try {
    return Serve(host, address, port, signals);
  } catch (const platform::FaultException& fault) {
    std::cerr << "vntaccessd: cannot start: " << fault.Reason().value_or(fault.Detail().Message()) << "\n";
  } catch (const std::exception& error) {
    std::cerr << "vntaccessd: cannot start: " << error.what() << "\n";
  }
  return kStartFailed;
}

}  // namespace vantrel::host
