// RawHttp: a plain TCP connection to a loopback port that sends bytes as
// given and reads HTTP/1.1 answers, for tests of the listener's transport
// rules (keep-alive, slow and malformed clients). Every read is bounded in
// time. Used by one thread.
#ifndef VANTREL_TESTS_HOST_RAW_HTTP_H_
#define VANTREL_TESTS_HOST_RAW_HTTP_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace vantrel::testing {

struct RawAnswer {
  int status = 0;
  std::string head;  // the status line and headers
  std::string body;
};

class RawHttp {
 public:
  explicit RawHttp(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("cannot connect");
    }
  }
  ~RawHttp() { ::close(fd_); }
  RawHttp(const RawHttp&) = delete;
  RawHttp& operator=(const RawHttp&) = delete;

  bool Send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }

  // The next answer, or nothing when the connection ends or none is
  // complete within limit.
  std::optional<RawAnswer> Read(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (auto answer = Complete()) return answer;
      if (!Fill(end)) return std::nullopt;
    }
  }

  // Whether the server closed the connection within limit (bytes still
  // unread count as not closed).
  bool ClosedWithin(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (Fill(end)) {
    }
    return closed_;
  }

 private:
  // Reads what arrives before end; false when nothing more will come.
  bool Fill(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd poller{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&poller, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[8192];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  std::optional<RawAnswer> Complete() {
    const auto headEnd = buffer_.find("\r\n\r\n");
    if (headEnd == std::string::npos) return std::nullopt;
    RawAnswer answer;
    answer.head = buffer_.substr(0, headEnd);
    answer.status = std::stoi(answer.head.substr(9, 3));
    std::size_t length = 0;
    const auto header = answer.head.find("Content-Length: ");
    if (header != std::string::npos) length = std::stoul(answer.head.substr(header + 16));
    if (buffer_.size() < headEnd + 4 + length) return std::nullopt;
    answer.body = buffer_.substr(headEnd + 4, length);
    buffer_.erase(0, headEnd + 4 + length);
    return answer;
  }

  int fd_;
  std::string buffer_;
  bool closed_ = false;
};

}  // namespace vantrel::testing

#endif  // VANTREL_TESTS_HOST_RAW_HTTP_H_
