// A plain HTTP client on 127.0.0.1 for the tests and the benchmark of merloxd's
// endpoint: it sends exactly the bytes it is given, so that a test can send what no
// library client would (half a request, a bad one), and reads what comes back.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace merlox::test {

// A connection to the server: sends bytes, reads what comes until the server closes
// the connection or has been quiet for a while.
class LoopbackClient {
 public:
  explicit LoopbackClient(uint16_t port) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~LoopbackClient() { ::close(socket_); }

  bool Send(const std::string& bytes) {
    return connected_ && ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                             static_cast<ssize_t>(bytes.size());
  }
  // What arrives before the connection closes or quietMs pass without a byte.
  std::string Receive(int quietMs = 1000) {
    std::string bytes;
    closed_ = false;
    for (;;) {
      pollfd ready{socket_, POLLIN, 0};
      if (::poll(&ready, 1, quietMs) <= 0) return bytes;
      char buffer[65536];
      const ssize_t got = ::recv(socket_, buffer, sizeof(buffer), 0);
      if (got <= 0) {
        closed_ = true;
        return bytes;
      }
      bytes.append(buffer, static_cast<size_t>(got));
    }
  }
  bool closed() const { return closed_; }

  // GET target on a kept-alive connection: the whole answer, read as far as its
  // Content-Length says; "" when the connection fails.
  std::string Get(const std::string& target) {
    if (!Send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) return "";
    std::string reply;
    size_t end = std::string::npos, length = 0;
    char buffer[65536];
    while (end == std::string::npos || reply.size() < end + 4 + length) {
      const ssize_t got = ::recv(socket_, buffer, sizeof(buffer), 0);
      if (got <= 0) return "";
      reply.append(buffer, static_cast<size_t>(got));
      if (end == std::string::npos && (end = reply.find("\r\n\r\n")) != std::string::npos) {
        const size_t field = reply.find("Content-Length: ");
        length = field < end ? std::stoul(reply.substr(field + 16)) : 0;
      }
    }
    return reply;
  }

 private:
  int socket_;
  bool connected_ = false;
  bool closed_ = false;
};

}  // namespace merlox::test
