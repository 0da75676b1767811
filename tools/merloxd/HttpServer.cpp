#include "HttpServer.h"

// Asio needs <utility> before it with GCC 12 in C++20 (a known header bug of Boost 1.74).
#include <utility>
//
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <exception>
#include <iterator>
#include <optional>

#include "Threads.h"

namespace merloxd {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

// What the sessions share with the server: the answer, the limits, and how many
// connections are open (counted on the server's one thread).
struct Shared {
  HttpServer::Get get;
  HttpLimits limits;
  size_t open = 0;
};

HttpReply Refusal(unsigned status, const char* text) {
  return {status, "text/plain; charset=utf-8", std::string(text) + "\n"};
}

bool IsParseError(const ErrorCode& error) {
  return error.category() == http::make_error_code(http::error::bad_target).category();
}

// One connection: requests read one after another (keep-alive), each answered in full
// before the next is read.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Shared& shared) : stream_(std::move(socket)), shared_(shared) {
    ++shared_.open;
  }
  ~Session() { --shared_.open; }

  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(shared_.limits.headerBytes));
    parser_->body_limit(0);  // nothing the endpoint serves takes a body
    stream_.expires_after(shared_.limits.readTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](ErrorCode error, size_t) { self->OnRead(error); });
  }

 private:
  void OnRead(const ErrorCode& error) {
    if (error == http::error::header_limit || error == http::error::buffer_overflow) {
      return Answer(Refusal(431, "request header fields too large"), false, false);
    }
    if (error == http::error::body_limit || error == http::error::unexpected_body) {
      return Answer(Refusal(413, "a request to this endpoint has no body"), false, false);
    }
    if (IsParseError(error) && error != http::error::end_of_stream) {
      return Answer(Refusal(400, "bad request"), false, false);
    }
    // The client went, or took too long (the stream is closed then).
    if (error) return Close();
    const auto& request = parser_->get();
    const bool keepAlive = request.keep_alive();
    const auto fields = static_cast<size_t>(std::distance(request.begin(), request.end()));
    if (fields > shared_.limits.headerFields) {
      return Answer(Refusal(431, "too many header fields"), false, false);
    }
    const bool head = request.method() == http::verb::head;
    if (!head && request.method() != http::verb::get) {
      return Answer(Refusal(405, "only GET and HEAD"), false, keepAlive);
    }
    Answer(Reply(request.target()), head, keepAlive);
  }

  HttpReply Reply(beast::string_view target) {
    try {
      return shared_.get(std::string_view(target.data(), target.size()));
    } catch (const std::exception& failure) {
      return Refusal(500, failure.what());
    }
  }

  void Answer(HttpReply reply, bool head, bool keepAlive) {
    response_.emplace(static_cast<http::status>(reply.status), 11);
    response_->set(http::field::content_type, reply.contentType);
    response_->set(http::field::cache_control, "no-store");
    response_->set("X-Content-Type-Options", "nosniff");
    if (reply.status == 405) response_->set(http::field::allow, "GET, HEAD");
    // A HEAD answer says how long the body would be, and has none.
    response_->content_length(reply.body.size());
    if (!head) response_->body() = std::move(reply.body);
    response_->keep_alive(keepAlive);
    stream_.expires_after(shared_.limits.writeTimeout);
    http::async_write(stream_, *response_,
                      [self = shared_from_this(), keepAlive](ErrorCode error, size_t) {
                        if (error || !keepAlive) return self->Close();
                        self->ReadRequest();
                      });
  }

  void Close() {
    ErrorCode ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  beast::tcp_stream stream_;
  Shared& shared_;
  beast::flat_buffer buffer_{shared_.limits.headerBytes + 1024};
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::optional<http::response<http::string_body>> response_;
};

}  // namespace

struct HttpServer::Impl {
  Shared shared;  // before the context: the sessions it destroys count themselves out
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::steady_timer timer{io};
  asio::steady_timer pause{io};
  uint16_t port = 0;
  Milliseconds period{0};
  std::function<void()> task;
  merlox::tools::Thread thread;

  void Accept() {
    acceptor.async_accept([this](ErrorCode error, tcp::socket socket) {
      if (error == asio::error::operation_aborted) return;
      if (error) {
        // Out of sockets or memory for now: try again a little later, not in a loop.
        pause.expires_after(std::chrono::milliseconds(100));
        pause.async_wait([this](ErrorCode waited) {
          if (!waited) Accept();
        });
        return;
      }
      if (shared.open < shared.limits.connections) {
        std::make_shared<Session>(std::move(socket), shared)->ReadRequest();
      }
      // Past the limit the socket closes here, unanswered.
      Accept();
    });
  }

  void Tick() {
    task();
    timer.expires_after(period);
    timer.async_wait([this](ErrorCode error) {
      if (!error) Tick();
    });
  }

  void Serve() {
    for (;;) {
      try {
        io.run();
        return;
      } catch (const std::exception&) {
        // A handler that threw loses its connection; the server goes on.
      }
    }
  }
};

HttpServer::HttpServer(Get get, HttpLimits limits) : impl_(std::make_unique<Impl>()) {
  impl_->shared.get = std::move(get);
  impl_->shared.limits = limits;
}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Every(Milliseconds period, std::function<void()> task) {
  impl_->period = period;
  impl_->task = std::move(task);
}

std::string HttpServer::Start(const std::string& host, uint16_t port) {
  ErrorCode error;
  const auto address = asio::ip::make_address(host, error);
  if (error) return host + " is not an IP address";
  const tcp::endpoint endpoint(address, port);
  tcp::acceptor& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), error);
#if !defined(_WIN32)
  // A restarted guard gets its port back at once; on Windows the same option would let
  // another process take a port in use, so there the default stays.
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
#endif
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (!error) impl_->port = acceptor.local_endpoint(error).port();
  if (error) {
    ErrorCode ignored;
    acceptor.close(ignored);
    return "cannot listen on " + host + ":" + std::to_string(port) + ": " + error.message();
  }
  impl_->Accept();
  if (impl_->task) asio::post(impl_->io, [this] { impl_->Tick(); });
  if (!impl_->thread.Start([this] { impl_->Serve(); })) {
    acceptor.close(error);
    return "no thread could be started for it";
  }
  return "";
}

uint16_t HttpServer::Port() const { return impl_->port; }

void HttpServer::Stop() {
  if (!impl_->thread.started()) return;
  impl_->io.stop();
  impl_->thread.Join();
  // The thread has ended: nobody else touches the acceptor now.
  ErrorCode ignored;
  impl_->acceptor.close(ignored);
}

}  // namespace merloxd
