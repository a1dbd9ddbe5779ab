#include <deque>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio/post.hpp>

#include "host/live/live_protocol.h"
#include "host/live_socket_beast.h"

namespace vantrel::host {
namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;

// One client of /v1/live. Its handlers run on its stream's executor, one
// at a time (the I/O threads serve it like the listener's connections).
template <typename Stream>
class LiveSession : public LiveSessionHandle, public std::enable_shared_from_this<LiveSession<Stream>> {
 public:
  LiveSession(LiveService& service, Stream&& stream, std::string account)
      : service_(service), socket_(std::move(stream)), account_(std::move(account)) {
    ++service_.sessions();
  }
  ~LiveSession() override {
    if (subscriber_) service_.hub().Disconnect(*subscriber_);
    --service_.sessions();
  }

  void Start(LiveUpgradeRequest request) {
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = service_.handshakeTimeout;
    timeouts.idle_timeout = service_.idleTimeout;
    timeouts.keep_alive_pings = true;  // a ping at half the idle time; no answer ends the session
    socket_.set_option(timeouts);
    socket_.read_message_max(live::kMaxRequestBytes);
    // The page offers its CSRF token as a subprotocol beside "vntlive"; a
    // browser drops a socket whose answer names none of those it offered.
    const bool page = request[beast::http::field::sec_websocket_protocol].find("vntlive") != beast::string_view::npos;
    socket_.set_option(websocket::stream_base::decorator([page](websocket::response_type& response) {
      response.set(beast::http::field::server, "vntaccessd");
      if (page) response.set(beast::http::field::sec_websocket_protocol, "vntlive");
    }));
    socket_.async_accept(request, [self = this->shared_from_this()](beast::error_code error) {
      if (error) return;
      self->Connected();
    });
  }

  void CloseNow() override {
    net::post(socket_.get_executor(), [self = this->shared_from_this()] {
      beast::error_code ignored;
      beast::get_lowest_layer(self->socket_).socket().close(ignored);
    });
  }

 private:
  void Connected() {
    std::weak_ptr<LiveSession> weak = this->shared_from_this();
    subscriber_ = service_.hub().Connect(account_, [weak] {
      if (auto self = weak.lock()) net::post(self->socket_.get_executor(), [self] { self->Flush(); });
    });
    Read();
  }

  void Read() {
    socket_.async_read(buffer_, [self = this->shared_from_this()](beast::error_code error, std::size_t) {
      if (error) return;  // closed, dropped or timed out: the session ends with its last handler
      self->OnMessage(beast::buffers_to_string(self->buffer_.data()));
      self->buffer_.consume(self->buffer_.size());
      self->Read();
    });
  }

  // Requests read the database: they run on a worker, never here.
  void OnMessage(const std::string& text) {
    live::LiveRequest request;
    try {
      request = live::ParseLiveRequest(text);
    } catch (const std::exception& error) {
      return Send(live::EncodeError(error.what()));
    }
    const bool queued = service_.pool().TrySubmit([self = this->shared_from_this(), request = std::move(request)] {
      try {
        live::ApplyLiveRequest(self->service_.hub(), self->subscriber_, request);
      } catch (const std::exception& error) {
        const std::string message = live::EncodeError(error.what());
        net::post(self->socket_.get_executor(), [self, message] { self->Send(message); });
      }
    });
    if (!queued) Send(live::EncodeError("the host is busy: every worker and queue place is taken; send it again"));
  }

  void Send(std::string message) {
    outbox_.push_back(std::move(message));
    Flush();
  }

  // Writes one message at a time: what the session itself has to say, then
  // every update the hub holds for it, in one message.
  void Flush() {
    if (writing_) return;
    if (outbox_.empty() && subscriber_) {
      std::vector<live::LiveUpdate> updates = subscriber_->Take();
      if (!updates.empty()) outbox_.push_back(live::EncodeUpdates(updates));
    }
    if (outbox_.empty()) return;
    writing_ = true;
    socket_.text(true);
    socket_.async_write(net::buffer(outbox_.front()),
                        [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                          self->writing_ = false;
                          self->outbox_.pop_front();
                          if (error) return;
                          self->Flush();
                        });
  }

  LiveService& service_;
  websocket::stream<Stream> socket_;
  const std::string account_;
  std::shared_ptr<live::LiveSubscriber> subscriber_;
  beast::flat_buffer buffer_;
  std::deque<std::string> outbox_;
  bool writing_ = false;
};

template <typename Stream>
void Accept(LiveService& service, Stream&& stream, LiveUpgradeRequest request, const std::string& account) {
  auto session = std::make_shared<LiveSession<Stream>>(service, std::move(stream), account);
  service.Track(session);
  session->Start(std::move(request));
}

}  // namespace

void AcceptLiveSocket(LiveService& service, beast::tcp_stream&& stream, LiveUpgradeRequest request,
                      const std::string& account) {
  Accept(service, std::move(stream), std::move(request), account);
}

void AcceptLiveSocket(LiveService& service, beast::ssl_stream<beast::tcp_stream>&& stream, LiveUpgradeRequest request,
                      const std::string& account) {
  Accept(service, std::move(stream), std::move(request), account);
}

}  // namespace vantrel::host
