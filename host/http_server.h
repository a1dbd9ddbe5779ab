// HttpServer: the host's listener. HTTP/1.1 with keep-alive, over TLS
// (OpenSSL) unless started plain for a loopback address; asynchronous I/O on
// a few threads; each complete request is handed to the worker pool, never
// answered on an I/O thread. The transport limits are its own: connections
// (503), time to receive a request (408; a client sending a byte a second is
// cut off), body size (413), idle keep-alive, and the time a call may take
// before the caller is told its outcome is unknown (503).
//
// Thread-safe. The transport library stays inside http_server.cpp.
//
//   HttpServer server(options, pool, [&](const HttpRequest& r) { return dispatcher.Handle(r); });
//   std::cout << "listening on " << server.Url() << std::endl;
//   server.Start();
//   ...
//   server.Stop();
#ifndef VANTREL_HOST_HTTP_SERVER_H_
#define VANTREL_HOST_HTTP_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/host_limits.h"
#include "host/http_message.h"
#include "host/worker_pool.h"

namespace vantrel::host {

class LiveService;

struct TlsFiles {
  std::filesystem::path certificate;  // PEM, the chain
  std::filesystem::path key;          // PEM, the private key
};

struct ServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 0;             // 0: a free port (see Port())
  std::optional<TlsFiles> tls;   // none: plain HTTP
  std::size_t ioThreads = 2;
  HostLimits limits;
  LiveService* live = nullptr;  // takes over a request answered 101 (the WebSocket /v1/live, host/live_socket.h)
};

class HttpServer {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;
  // Called after each answer is written (the audit log, the metrics).
  using Observer = std::function<void(const HttpRequest&, const HttpResponse&, std::chrono::microseconds)>;

  // Binds the listening socket and reads the certificate. Throws
  // std::runtime_error with what went wrong.
  HttpServer(ServerOptions options, WorkerPool& pool, Handler handler, Observer observer = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  uint16_t Port() const;
  // "https://127.0.0.1:8443" (http for a plain server).
  std::string Url() const;
  // Starts accepting, on the I/O threads.
  void Start();
  // Stops accepting and closes idle connections at once; waits up to grace
  // for calls in flight to be answered; then ends every connection and
  // joins the I/O threads.
  void Stop(std::chrono::seconds grace);
  // Reads the certificate and key again for the connections that come next.
  // Throws std::runtime_error and keeps the old ones when they do not load.
  void ReloadCertificate();
  std::size_t Connections() const;

  // The listener's state, shared with its connections (http_server.cpp).
  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace vantrel::host

#endif  // VANTREL_HOST_HTTP_SERVER_H_
