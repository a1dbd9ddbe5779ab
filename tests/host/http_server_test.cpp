// The listener's transport rules on a loopback port: keep-alive, slow,
// idle, oversized and malformed clients, the connection limit, the call time
// limit and a stop with a call in flight. The handler stands in for the
// dispatch, so no database is involved.
#include "host/http_server.h"

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/dispatcher.h"
#include "host/worker_pool.h"
#include "tests/host/raw_http.h"

namespace vantrel::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

const std::string kHealth = "GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n";

class HttpServerTest : public ::testing::Test {
 protected:
  HttpServerTest() {
    limits_.requestTimeout = 1s;
    limits_.idleTimeout = 1s;
    limits_.maxBodyBytes = 1024;
  }

  // Starts a plain server on a free loopback port; the handler sleeps for
  // delay_ and answers the request's target.
  void Start() {
    host::ServerOptions options{"127.0.0.1", 0, std::nullopt, 1, limits_};
    server_ = std::make_unique<host::HttpServer>(options, pool_, [this](const host::HttpRequest& request) {
      ++handled_;
      std::this_thread::sleep_for(delay_);
      host::HttpResponse response;
      response.body = R"({"target":")" + request.target + R"("})";
      return response;
    });
    server_->Start();
  }

  host::HostLimits limits_;
  host::WorkerPool pool_{2, 8};
  std::chrono::milliseconds delay_{0};
  std::atomic<int> handled_{0};
  std::unique_ptr<host::HttpServer> server_;
};

TEST_F(HttpServerTest, KeepAliveServesRequestsOneAfterAnother) {
  Start();
  EXPECT_EQ(server_->Url(), "http://127.0.0.1:" + std::to_string(server_->Port()));
  RawHttp connection(server_->Port());
  // Two requests sent at once are answered in order on the same connection.
  ASSERT_TRUE(connection.Send(kHealth + "GET /second HTTP/1.1\r\nHost: x\r\n\r\n"));
  const auto first = connection.Read();
  const auto second = connection.Read();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->body, R"({"target":"/v1/health"})");
  EXPECT_EQ(second->body, R"({"target":"/second"})");
  ASSERT_TRUE(connection.Send(kHealth));
  EXPECT_EQ(connection.Read()->status, 200);
  EXPECT_EQ(server_->Connections(), 1U);
}

TEST_F(HttpServerTest, ASlowClientIsCutOffWith408) {
  Start();
  RawHttp connection(server_->Port());
  ASSERT_TRUE(connection.Send("POST /v1/access/GetTagValues HTTP/1.1\r\n"));
  const auto start = std::chrono::steady_clock::now();
  std::optional<RawAnswer> answer;
  for (int i = 0; i < 20 && !answer; ++i) {  // a byte every 200 ms
    connection.Send("X");
    answer = connection.Read(200ms);
  }
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 408);
  EXPECT_THAT(answer->body, HasSubstr("limit of 1 s"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(connection.ClosedWithin(2s));
  EXPECT_EQ(handled_, 0);
}

TEST_F(HttpServerTest, AnIdleConnectionIsClosedWithoutAnAnswer) {
  Start();
  RawHttp connection(server_->Port());
  ASSERT_TRUE(connection.Send(kHealth));
  ASSERT_TRUE(connection.Read());
  EXPECT_TRUE(connection.ClosedWithin(3s));
}

TEST_F(HttpServerTest, BodiesOverTheLimitAre413AndMalformedRequests400) {
  Start();
  RawHttp large(server_->Port());
  ASSERT_TRUE(large.Send("POST /v1/x HTTP/1.1\r\nHost: x\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'a')));
  const auto tooLarge = large.Read();
  ASSERT_TRUE(tooLarge);
  EXPECT_EQ(tooLarge->status, 413);
  EXPECT_THAT(tooLarge->body, HasSubstr("limit of 1024 bytes"));
  RawHttp malformed(server_->Port());
  ASSERT_TRUE(malformed.Send("GET / HTTP/1.1\r\nHost x\r\n\r\n"));
  const auto bad = malformed.Read();
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  EXPECT_THAT(bad->body, HasSubstr("malformed HTTP request"));
  EXPECT_EQ(handled_, 0);
}

TEST_F(HttpServerTest, ConnectionsOverTheLimitAre503) {
  limits_.maxConnections = 1;
  Start();
  RawHttp first(server_->Port());
  ASSERT_TRUE(first.Send(kHealth));
  ASSERT_TRUE(first.Read());
  RawHttp second(server_->Port());
  const auto refused = second.Read();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  EXPECT_THAT(refused->body, HasSubstr("limit is 1 connections"));
}

TEST_F(HttpServerTest, ACallOverItsTimeIsTold503) {
  limits_.callTimeout = 1s;
  delay_ = 2500ms;
  Start();
  RawHttp connection(server_->Port());
  ASSERT_TRUE(connection.Send(kHealth));
  const auto answer = connection.Read(3s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 503);
  EXPECT_THAT(answer->body, HasSubstr("outcome is unknown"));
}

TEST_F(HttpServerTest, StopAnswersTheCallInFlightThenEnds) {
  delay_ = 500ms;
  Start();
  RawHttp busy(server_->Port());
  RawHttp idle(server_->Port());
  ASSERT_TRUE(busy.Send(kHealth));
  while (handled_ == 0) std::this_thread::sleep_for(5ms);
  auto stopped = std::async(std::launch::async, [this] { server_->Stop(5s); });
  EXPECT_TRUE(idle.ClosedWithin(1s));  // the idle one at once
  const auto answer = busy.Read(3s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_THAT(answer->head, HasSubstr("Connection: close"));
  EXPECT_EQ(stopped.wait_for(5s), std::future_status::ready);
  EXPECT_THROW(RawHttp{server_->Port()}, std::runtime_error);  // no longer accepting
}

}  // namespace
}  // namespace vantrel::testing
