// The client's side of gzip: it offers to take gzip, inflates a compressed
// answer, and refuses a damaged one or one that would inflate past its
// limit with a ConnectionError rather than a crash or a wrong body. A
// one-answer HTTP server on a loopback port plays the host.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "client/http_connection.h"
#include "wire/gzip.h"

namespace vantrel::testing {
namespace {

using ::testing::HasSubstr;

// Answers the first request on a free loopback port with answerBody and
// the headers given, keeps what the request's head said, then closes.
class OneAnswerServer {
 public:
  OneAnswerServer(std::string headers, std::string answerBody)
      : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length)) {
      throw std::runtime_error("cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, headers = std::move(headers), body = std::move(answerBody)] {
      Serve(headers, body);
    });
  }
  ~OneAnswerServer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  const std::string& RequestHead() const { return requestHead_; }  // after the exchange

 private:
  void Serve(const std::string& headers, const std::string& body) {
    pollfd poller{listener_, POLLIN, 0};
    if (::poll(&poller, 1, 10'000) <= 0) return;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    char chunk[4096];
    while (requestHead_.find("\r\n\r\n") == std::string::npos) {
      pollfd reader{client, POLLIN, 0};
      if (::poll(&reader, 1, 10'000) <= 0) break;
      const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      requestHead_.append(chunk, static_cast<std::size_t>(n));
    }
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n" + headers +
                               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    (void)::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
    ::close(client);
  }

  int listener_;
  uint16_t port_ = 0;
  std::string requestHead_;
  std::thread thread_;
};

client::HttpAnswer Exchange(const OneAnswerServer& server) {
  client::HttpConnection connection(client::Endpoint::Parse(server.Url()), "", std::chrono::seconds(10));
  return connection.Exchange("POST", "/v1/server/GetMaxHistorySizePerCall", "", "Bearer writer");
}

TEST(ClientGzipTest, ACompressedAnswerIsInflatedAndGzipWasOffered) {
  const std::string text = R"({"result": ")" + std::string(5000, 'x') + R"("})";
  OneAnswerServer server("Content-Encoding: gzip\r\n", wire::GzipCompress(text));
  const auto answer = Exchange(server);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, text);
  EXPECT_EQ(answer.contentType, "application/json");
  EXPECT_THAT(server.RequestHead(), HasSubstr("Accept-Encoding: gzip"));
}

TEST(ClientGzipTest, AnAnswerWithoutContentEncodingIsTakenAsItIs) {
  const std::string packed = wire::GzipCompress("{}");
  OneAnswerServer server("", packed);
  EXPECT_EQ(Exchange(server).body, packed);
}

TEST(ClientGzipTest, ADamagedOrCutCompressedAnswerIsAConnectionError) {
  std::string packed = wire::GzipCompress(std::string(20'000, 'y'));
  OneAnswerServer cut("Content-Encoding: gzip\r\n", packed.substr(0, packed.size() / 2));
  try {
    Exchange(cut);
    FAIL() << "a cut body was taken";
  } catch (const client::ConnectionError& error) {
    EXPECT_THAT(error.what(), HasSubstr("compressed answer is unusable"));
  }
  OneAnswerServer garbage("Content-Encoding: gzip\r\n", "this is not gzip at all");
  EXPECT_THROW(Exchange(garbage), client::ConnectionError);
}

}  // namespace
}  // namespace vantrel::testing
