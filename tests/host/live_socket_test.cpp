// The WebSocket /v1/live on the host's listener (plain, loopback): only a
// request the dispatch answered 101 is upgraded; a subscription's values and
// a later write arrive as messages; a bad message is answered, not fatal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "contracts/json.h"
#include "data/data_access.h"
#include "host/http_server.h"
#include "host/live/live_hub.h"
#include "host/live_socket.h"
#include "host/worker_pool.h"
#include "tests/support/test_plant.h"

namespace vantrel::host {
namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using contracts::Json;
using namespace std::chrono_literals;

class LiveSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vantrel::testing::InstallPlant();
    hub_.Start();
    ServerOptions options{"127.0.0.1", 0, std::nullopt, 1, HostLimits{}};
    options.live = &live_;
    // Stands in for the dispatch: the bearer "good" is VNT\alice.
    server_ = std::make_unique<HttpServer>(options, pool_, [](const HttpRequest& request) {
      HttpResponse response;
      if (request.authorization != "Bearer good") {
        response.status = 401;
        return response;
      }
      response.status = request.websocket && request.target == "/v1/live" ? 101 : 426;
      response.account = "VNT\\alice";
      return response;
    });
    server_->Start();
  }
  void TearDown() override { server_->Stop(1s); }

  // A client connected and upgraded with the given Authorization header.
  std::unique_ptr<websocket::stream<beast::tcp_stream>> Connect(const std::string& authorization) {
    auto socket = std::make_unique<websocket::stream<beast::tcp_stream>>(io_);
    beast::get_lowest_layer(*socket).connect(net::ip::tcp::endpoint(net::ip::make_address("127.0.0.1"),
                                                                      server_->Port()));
    beast::get_lowest_layer(*socket).expires_after(5s);
    socket->set_option(websocket::stream_base::decorator([authorization](websocket::request_type& request) {
      request.set(beast::http::field::authorization, authorization);
    }));
    socket->handshake("127.0.0.1", "/v1/live");
    return socket;
  }

  static Json Receive(websocket::stream<beast::tcp_stream>& socket) {
    beast::flat_buffer buffer;
    beast::get_lowest_layer(socket).expires_after(5s);
    socket.read(buffer);
    return Json::parse(beast::buffers_to_string(buffer.data()));
  }

  static void Send(websocket::stream<beast::tcp_stream>& socket, const std::string& text) {
    socket.text(true);
    socket.write(net::buffer(text));
  }

  live::LiveHub hub_{live::LiveHub::Options{.idleWait = 50ms}};
  WorkerPool pool_{2, 16};
  LiveService live_{hub_, pool_};
  std::unique_ptr<HttpServer> server_;
  net::io_context io_;
};

TEST_F(LiveSocketTest, SubscribedValuesAndLaterWritesArriveAsMessages) {
  auto socket = Connect("Bearer good");
  Send(*socket, R"({"subscribe": {"TI100": ["VALUE"], "NOPE": ["VALUE"]}})");
  Json first = Receive(*socket);
  std::vector<Json> updates(first["updates"].begin(), first["updates"].end());
  while (updates.size() < 2) {
    Json more = Receive(*socket);
    updates.insert(updates.end(), more["updates"].begin(), more["updates"].end());
  }
  EXPECT_EQ(updates[0]["record"], "TI100");
  EXPECT_EQ(updates[0]["values"][0]["value"]["double"].get<double>(), 12.5);
  EXPECT_THAT(updates[1]["refused"].get<std::string>(), ::testing::HasSubstr("NOPE VALUE"));

  {
    access::DataAccess data;
    contracts::TagValuesByNames values;
    contracts::TagValues one;
    one.emplace_back(42.0, contracts::DateTime::MinValue, 0, 0);
    values["TI100"]["VALUE"] = std::move(one);
    data.SetTagValues(values);
  }
  const auto written = std::chrono::steady_clock::now();
  const Json changed = Receive(*socket);
  EXPECT_LT(std::chrono::steady_clock::now() - written, 1s);
  EXPECT_EQ(changed["updates"][0]["values"][0]["value"]["double"].get<double>(), 42.0);

  Send(*socket, R"({"publish": 1})");
  EXPECT_THAT(Receive(*socket)["error"].get<std::string>(), ::testing::HasSubstr("unknown message"));
  EXPECT_EQ(live_.sessions().load(), 1U);
  socket->close(websocket::close_code::normal);
}

TEST_F(LiveSocketTest, OnlyAProvenCallerIsUpgraded) {
  try {
    Connect("Bearer bad");
    ADD_FAILURE() << "upgraded without credentials";
  } catch (const beast::system_error& error) {
    EXPECT_EQ(error.code(), websocket::error::upgrade_declined);
  }
  EXPECT_EQ(live_.sessions().load(), 0U);
}

}  // namespace
}  // namespace vantrel::host
