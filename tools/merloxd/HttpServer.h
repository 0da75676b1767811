// A small read-only HTTP/1.1 server (Boost.Beast over Boost.Asio) for the monitoring
// endpoint. It answers GET and HEAD through one function and refuses every other
// method. Everything a client sends is bounded (header bytes and fields, no body,
// time to send a request, connections at once), so that no client can make the
// guard's process hold more than a little memory or a thread. All its work, the
// periodic task included, runs on one thread of its own: whatever it calls needs no
// lock against itself.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Units.h"

namespace merloxd {

struct HttpReply {
  unsigned status = 200;
  std::string contentType;
  std::string body;
};

struct HttpLimits {
  size_t headerBytes = 8 * 1024;  // the request line and header fields together
  size_t headerFields = 64;
  Milliseconds readTimeout{10000};  // to send a whole request, or between kept-alive requests
  Milliseconds writeTimeout{10000};
  size_t connections = 16;  // more are closed as soon as they are accepted
};

class HttpServer {
 public:
  // get answers a GET or HEAD of a target ("/metrics", "/status.json?x=1").
  using Get = std::function<HttpReply(std::string_view target)>;

  explicit HttpServer(Get get, HttpLimits limits = {});
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  ~HttpServer();

  // Before Start: task runs on the server's thread at once and then every period.
  void Every(Milliseconds period, std::function<void()> task);
  // Listens on host (an IP address) and port (0: one the system picks) and serves
  // on a thread of its own. "" or why it cannot.
  std::string Start(const std::string& host, uint16_t port);
  // The port it listens on, once started.
  uint16_t Port() const;
  // Closes every connection and ends the thread; also at destruction.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace merloxd
