#include "host/http_server.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <fmt/format.h>

#include "host/dispatcher.h"
#include "host/http_request_beast.h"
#include "host/live_socket_beast.h"

namespace vantrel::host {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFirstRead = 16 * 1024;
constexpr auto kCloseTimeout = std::chrono::seconds(2);
// How long the stop waits for the handlers of closed connections to run out.
constexpr auto kDrainLimit = std::chrono::seconds(5);

std::shared_ptr<ssl::context> LoadTls(const TlsFiles& files) {
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                       ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
  beast::error_code error;
  context->use_certificate_chain_file(files.certificate.string(), error);
  if (error) {
    throw std::runtime_error(fmt::format("cannot read the certificate {}: {}", files.certificate.string(),
                                         error.message()));
  }
  context->use_private_key_file(files.key.string(), ssl::context::pem, error);
  if (error) {
    throw std::runtime_error(fmt::format("cannot read the key {}: {}", files.key.string(), error.message()));
  }
  return context;
}

class ConnectionBase {
 public:
  virtual ~ConnectionBase() = default;
  // Closes the connection if it waits for a request; one with a call in
  // flight closes after its answer.
  virtual void CloseIfIdle() = 0;
  // Cancels the connection's timers and closes its socket, so that each of
  // its pending operations ends and nothing of it stays queued.
  virtual void CloseNow() = 0;
};

}  // namespace

struct HttpServer::Impl : std::enable_shared_from_this<HttpServer::Impl> {
  Impl(ServerOptions serverOptions, WorkerPool& workerPool, Handler requestHandler, Observer requestObserver)
      : options(std::move(serverOptions)),
        pool(workerPool),
        handler(std::move(requestHandler)),
        observer(std::move(requestObserver)),
        io(static_cast<int>(std::max<std::size_t>(options.ioThreads, 1))),
        acceptor(net::make_strand(io)) {}

  void Listen();
  void Accept();
  void OnAccept(beast::error_code error, tcp::socket socket);
  std::shared_ptr<ssl::context> Tls() {
    std::lock_guard lock(mutex);
    return tls;
  }
  void Register(const std::shared_ptr<ConnectionBase>& connection) {
    std::lock_guard lock(mutex);
    live.insert(connection);
  }
  void Unregister(ConnectionBase* connection) {
    std::lock_guard lock(mutex);
    for (auto it = live.begin(); it != live.end();) {
      auto held = it->lock();
      it = (held == nullptr || held.get() == connection) ? live.erase(it) : std::next(it);
    }
  }
  // Queues handler on executor unless the I/O context has been drained for
  // good; a handler queued after that would never run, and the connection it
  // holds would keep the server (and the context itself) alive forever.
  template <typename Executor, typename Handler>
  void PostUnlessDrained(const Executor& executor, Handler&& handler) {
    std::unique_lock lock(mutex);
    if (drained) return;
    net::post(executor, std::forward<Handler>(handler));
  }
  void Drain();
  std::vector<std::shared_ptr<ConnectionBase>> Live() {
    std::lock_guard lock(mutex);
    std::vector<std::shared_ptr<ConnectionBase>> connections;
    for (const auto& weak : live) {
      if (auto held = weak.lock()) connections.push_back(std::move(held));
    }
    return connections;
  }

  ServerOptions options;
  WorkerPool& pool;
  Handler handler;
  Observer observer;
  net::io_context io;
  tcp::acceptor acceptor;
  uint16_t port = 0;
  std::atomic<std::size_t> connections{0};
  std::atomic<bool> stopping{false};
  std::vector<std::thread> threads;
  std::mutex mutex;
  std::shared_ptr<ssl::context> tls;  // guarded by mutex
  bool drained = false;                // guarded by mutex: the I/O context takes no more handlers
  std::set<std::weak_ptr<ConnectionBase>, std::owner_less<std::weak_ptr<ConnectionBase>>> live;  // by mutex
};

namespace {

template <typename Stream>
constexpr bool kIsTls = !std::is_same_v<Stream, beast::tcp_stream>;

// One client connection: reads requests one after another, hands each to the
// worker pool, writes its answer. All its handlers run on its strand.
template <typename Stream>
class Connection : public ConnectionBase, public std::enable_shared_from_this<Connection<Stream>> {
 public:
  using Impl = HttpServer::Impl;

  Connection(std::shared_ptr<Impl> server, tcp::socket socket, std::shared_ptr<ssl::context> tls, bool overLimit)
      : server_(std::move(server)), tls_(std::move(tls)), stream_(MakeStream(std::move(socket))),
        overLimit_(overLimit), timer_(stream_.get_executor()), readTimer_(stream_.get_executor()) {
    beast::error_code ignored;
    source_ = beast::get_lowest_layer(stream_).socket().remote_endpoint(ignored).address().to_string();
  }
  ~Connection() override {
    server_->connections.fetch_sub(1);
    server_->Unregister(this);
  }

  void Start() {
    net::dispatch(stream_.get_executor(), [self = this->shared_from_this()] { self->Begin(); });
  }

  void CloseIfIdle() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] {
      if (self->idle_) self->Close();
    });
  }
  void CloseNow() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] {
      self->timer_.cancel();
      self->readTimer_.cancel();
      beast::error_code ignored;
      beast::get_lowest_layer(self->stream_).socket().close(ignored);
    });
  }

 private:
  Stream MakeStream(tcp::socket socket) {
    if constexpr (kIsTls<Stream>) {
      return Stream(std::move(socket), *tls_);
    } else {
      return Stream(std::move(socket));
    }
  }
  auto& Lowest() { return beast::get_lowest_layer(stream_); }
  const HostLimits& Limits() const { return server_->options.limits; }

  void Begin() {
    if constexpr (kIsTls<Stream>) {
      Lowest().expires_after(Limits().requestTimeout);
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code error) {
                                if (error) return;  // not a TLS client, or too slow: nothing to answer
                                self->AfterHandshake();
                              });
    } else {
      AfterHandshake();
    }
  }

  void AfterHandshake() {
    if (overLimit_) {
      return Reply(ErrorResponse(503, fmt::format("too many connections; the limit is {} connections",
                                                  Limits().maxConnections)),
                   false);
    }
    ReadRequest();
  }

  void ReadRequest() {
    if (server_->stopping) return Close();
    parser_.emplace();
    parser_->body_limit(Limits().maxBodyBytes);
    parser_->header_limit(kHeaderLimit);
    if (buffer_.size() > 0) return ReadRest();
    // Waits for the first bytes of the next request within the idle limit;
    // from them on, the request limit runs.
    idle_ = true;
    Lowest().expires_after(Limits().idleTimeout);
    stream_.async_read_some(buffer_.prepare(kFirstRead),
                            [self = this->shared_from_this()](beast::error_code error, std::size_t bytes) {
                              self->idle_ = false;
                              self->buffer_.commit(bytes);
                              if (error) return self->Close();  // idle too long, or gone: nothing was asked
                              self->ReadRest();
                            });
  }

  // The rest of a request, within the request time limit. The limit is a
  // timer of our own rather than the stream's expiry, which would close the
  // socket before the 408 could be written.
  void ReadRest() {
    received_ = Clock::now();
    Lowest().expires_never();
    readTimedOut_ = false;
    readTimer_.expires_after(Limits().requestTimeout);
    readTimer_.async_wait([self = this->shared_from_this()](beast::error_code error) {
      if (error) return;  // the read ended first
      self->readTimedOut_ = true;
      beast::error_code ignored;
      self->Lowest().socket().cancel(ignored);
    });
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                       self->readTimer_.cancel();
                       self->OnRead(error);
                     });
  }

  void OnRead(beast::error_code error) {
    if (!error) return OnRequest();
    if (readTimedOut_) {
      return Reply(ErrorResponse(408, fmt::format("the request was not received within the limit of {} s",
                                                  Limits().requestTimeout.count())),
                   false);
    }
    if (error == http::error::body_limit) {
      return Reply(ErrorResponse(413, fmt::format("the body is over the limit of {} bytes", Limits().maxBodyBytes)),
                   false);
    }
    if (error == http::error::header_limit) {
      return Reply(ErrorResponse(413, fmt::format("the headers are over the limit of {} bytes", kHeaderLimit)),
                   false);
    }
    if (error == http::error::end_of_stream || error == net::error::eof ||
        error == net::error::operation_aborted || error == net::error::connection_reset) {
      return Close();
    }
    Reply(ErrorResponse(400, fmt::format("malformed HTTP request: {}", error.message())), false);
  }

  void OnRequest() {
    if (received_ == Clock::time_point{}) received_ = Clock::now();
    auto& message = parser_->get();
    HttpRequest request = ToHttpRequest(message, source_);
    keepAlive_ = message.keep_alive();
    Lowest().expires_never();
    const uint64_t generation = ++generation_;
    auto shared = std::make_shared<HttpRequest>(std::move(request));
    request_ = shared;
    const bool queued = server_->pool.TrySubmit([self = this->shared_from_this(), shared, generation] {
      HttpResponse response = self->server_->handler(*shared);
      auto executor = self->stream_.get_executor();
      self->server_->PostUnlessDrained(executor, [self, generation, response = std::move(response)]() mutable {
        if (generation != self->generation_ || self->answered_) return;
        if (response.status == 101 && self->request_->websocket && self->server_->options.live) {
          return self->HandOff(response.account);
        }
        self->Reply(std::move(response), self->keepAlive_);
      });
    });
    answered_ = false;
    if (!queued) {
      HttpResponse busy = ErrorResponse(503, "the host is busy: every worker and queue place is taken");
      busy.headers.emplace_back("Retry-After", "1");
      return Reply(std::move(busy), keepAlive_);
    }
    timer_.expires_after(Limits().callTimeout);
    timer_.async_wait([self = this->shared_from_this(), generation](beast::error_code error) {
      if (error || generation != self->generation_ || self->answered_) return;
      self->Reply(ErrorResponse(503, fmt::format("the call did not finish within the limit of {} s; its outcome "
                                                 "is unknown",
                                                 self->Limits().callTimeout.count())),
                  false);
    });
  }

  void Reply(HttpResponse response, bool keepAlive) {
    answered_ = true;
    timer_.cancel();
    keepAlive = keepAlive && !server_->stopping;
    auto message = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(response.status),
                                                                       11);
    message->set(http::field::server, "vntaccessd");
    message->set(http::field::content_type, response.contentType);
    message->set(http::field::cache_control, "no-store");  // unless the answer says otherwise (the page's files)
    for (const auto& [name, value] : response.headers) {
      if (beast::iequals(name, "Cache-Control")) message->erase(http::field::cache_control);
    }
    for (const auto& [name, value] : response.headers) message->insert(name, value);
    message->keep_alive(keepAlive);
    message->body() = response.body;
    message->prepare_payload();
    if (server_->observer && request_) {
      const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - received_);
      server_->observer(*request_, response, took);
    }
    received_ = {};
    Lowest().expires_after(Limits().requestTimeout);
    http::async_write(stream_, *message,
                      [self = this->shared_from_this(), message, keepAlive](beast::error_code error, std::size_t) {
                        if (error || !keepAlive) return self->Close();
                        self->ReadRequest();
                      });
  }

  // The live values session takes the stream over; this connection ends.
  void HandOff(const std::string& account) {
    answered_ = closing_ = true;
    timer_.cancel();
    readTimer_.cancel();
    Lowest().expires_never();
    AcceptLiveSocket(*server_->options.live, std::move(stream_), parser_->release(), account);
  }

  void Close() {
    if (closing_) return;
    closing_ = true;
    if constexpr (kIsTls<Stream>) {
      Lowest().expires_after(kCloseTimeout);
      stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {
        beast::error_code ignored;
        self->Lowest().socket().close(ignored);
      });
    } else {
      beast::error_code ignored;
      Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
      Lowest().socket().close(ignored);
    }
  }

  std::shared_ptr<Impl> server_;
  std::shared_ptr<ssl::context> tls_;  // outlives stream_, which refers to it
  Stream stream_;
  bool overLimit_;
  net::steady_timer timer_;      // the call's time limit
  net::steady_timer readTimer_;  // the request's time limit
  bool readTimedOut_ = false;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::shared_ptr<HttpRequest> request_;
  std::string source_;
  Clock::time_point received_{};
  uint64_t generation_ = 0;  // the request being served
  bool answered_ = true;
  bool keepAlive_ = false;
  bool idle_ = false;
  bool closing_ = false;
};

}  // namespace

void HttpServer::Impl::Listen() {
  beast::error_code error;
  const auto address = net::ip::make_address(options.address, error);
  if (error) throw std::runtime_error(fmt::format("'{}' is not an IP address", options.address));
  const tcp::endpoint endpoint(address, options.port);
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(net::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(net::socket_base::max_listen_connections, error);
  if (error) {
    throw std::runtime_error(
        fmt::format("cannot listen on {}:{}: {}", options.address, options.port, error.message()));
  }
  port = acceptor.local_endpoint().port();
}

void HttpServer::Impl::Accept() {
  acceptor.async_accept(net::make_strand(io), [self = shared_from_this()](beast::error_code error, tcp::socket socket) {
    self->OnAccept(error, std::move(socket));
  });
}

void HttpServer::Impl::OnAccept(beast::error_code error, tcp::socket socket) {
  if (stopping || !acceptor.is_open()) return;
  if (!error) {
    const bool overLimit = connections.fetch_add(1) >= options.limits.maxConnections;
    std::shared_ptr<ConnectionBase> connection;
    if (auto context = Tls()) {
      auto tlsConnection = std::make_shared<Connection<beast::ssl_stream<beast::tcp_stream>>>(
          shared_from_this(), std::move(socket), context, overLimit);
      tlsConnection->Start();
      connection = tlsConnection;
    } else {
      auto plain = std::make_shared<Connection<beast::tcp_stream>>(shared_from_this(), std::move(socket), nullptr,
                                                                   overLimit);
      plain->Start();
      connection = plain;
    }
    Register(connection);
  }
  Accept();
}

HttpServer::HttpServer(ServerOptions options, WorkerPool& pool, Handler handler, Observer observer)
    : impl_(std::make_shared<Impl>(std::move(options), pool, std::move(handler), std::move(observer))) {
  if (impl_->options.tls) impl_->tls = LoadTls(*impl_->options.tls);
  impl_->Listen();
}

HttpServer::~HttpServer() { Stop(std::chrono::seconds(0)); }

uint16_t HttpServer::Port() const { return impl_->port; }

std::string HttpServer::Url() const {
  const bool v6 = impl_->options.address.find(':') != std::string::npos;
  return fmt::format("{}://{}{}{}:{}", impl_->options.tls ? "https" : "http", v6 ? "[" : "", impl_->options.address,
                     v6 ? "]" : "", impl_->port);
}

void HttpServer::Start() {
  impl_->Accept();
  for (std::size_t i = 0; i < std::max<std::size_t>(impl_->options.ioThreads, 1); ++i) {
    impl_->threads.emplace_back([impl = impl_] { impl->io.run(); });
  }
}

void HttpServer::Stop(std::chrono::seconds grace) {
  if (impl_->threads.empty()) return;
  const auto deadline = Clock::now() + grace;
  impl_->stopping = true;
  net::post(impl_->acceptor.get_executor(), [impl = impl_] {
    beast::error_code ignored;
    impl->acceptor.close(ignored);
  });
  for (const auto& connection : impl_->Live()) connection->CloseIfIdle();
  impl_->pool.WaitIdle(deadline);
  // Let the last answers be written, then end whatever is left.
  while (impl_->connections.load() > 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (const auto& connection : impl_->Live()) connection->CloseIfIdle();
  }
  impl_->io.stop();
  for (auto& thread : impl_->threads) thread.join();
  impl_->threads.clear();
  impl_->Drain();
}

// With the I/O threads gone, closes the acceptor, every connection and every
// live values session, then runs their last handlers here until none is
// left. Each handler holds its connection, and each connection the server:
// a handler left queued would keep them all, the context included, alive.
void HttpServer::Impl::Drain() {
  beast::error_code ignored;
  acceptor.close(ignored);
  for (const auto& connection : Live()) connection->CloseNow();
  if (options.live != nullptr) options.live->CloseAll();
  io.restart();
  io.run_for(kDrainLimit);
  {
    std::lock_guard lock(mutex);
    drained = true;
  }
  // What a worker queued before the mark above.
  io.restart();
  io.run_for(kDrainLimit);
}

void HttpServer::ReloadCertificate() {
  if (!impl_->options.tls) return;
  auto context = LoadTls(*impl_->options.tls);
  std::lock_guard lock(impl_->mutex);
  impl_->tls = std::move(context);
}

std::size_t HttpServer::Connections() const { return impl_->connections.load(); }

}  // namespace vantrel::host
