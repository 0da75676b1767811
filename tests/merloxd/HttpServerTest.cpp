// The monitoring endpoint's HTTP server over real sockets on 127.0.0.1, with a plain
// client that sends exactly the bytes each case needs: GET and HEAD, every other
// method refused, requests too large or with a body, a client too slow, too many
// connections, keep-alive, and a periodic task on the server's thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "HttpServer.h"
#include "LoopbackClient.h"

namespace merloxd {
namespace {

using merlox::test::LoopbackClient;

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

std::string Request(const std::string& method, const std::string& target,
                    const std::string& extra = "") {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

class HttpServerTest : public ::testing::Test {
 protected:
  void Serve(HttpLimits limits = {}) {
    server_ = std::make_unique<HttpServer>(
        [](std::string_view target) -> HttpReply {
          if (target == "/throws") throw std::runtime_error("broken");
          return {target == "/" ? 200u : 404u, "text/plain",
                  "you asked for " + std::string(target)};
        },
        limits);
    ASSERT_EQ(server_->Start("127.0.0.1", 0), "");
    ASSERT_NE(server_->Port(), 0);
  }
  uint16_t port() const { return server_->Port(); }

  std::unique_ptr<HttpServer> server_;
};

TEST_F(HttpServerTest, GetAndHeadAnswerAndOtherMethodsAreRefused) {
  Serve();
  const struct {
    std::string request;
    const char* statusLine;
    const char* body;  // the body exactly, or nullptr for none at all
    const char* header;
  } cases[] = {
      {Request("GET", "/", "Connection: close\r\n"), "HTTP/1.1 200 OK", "you asked for /",
       "Content-Length: 15"},
      {Request("HEAD", "/", "Connection: close\r\n"), "HTTP/1.1 200 OK", nullptr,
       "Content-Length: 15"},
      {Request("GET", "/elsewhere?a=1", "Connection: close\r\n"), "HTTP/1.1 404 Not Found",
       "you asked for /elsewhere?a=1", "Cache-Control: no-store"},
      {Request("POST", "/", "Content-Length: 0\r\nConnection: close\r\n"),
       "HTTP/1.1 405 Method Not Allowed", "only GET and HEAD\n", "Allow: GET, HEAD"},
      {Request("DELETE", "/", "Connection: close\r\n"), "HTTP/1.1 405 Method Not Allowed",
       "only GET and HEAD\n", "Allow: GET, HEAD"},
      {Request("GET", "/throws", "Connection: close\r\n"), "HTTP/1.1 500 Internal Server Error",
       "broken\n", "Content-Type: text/plain; charset=utf-8"},
      {"NONSENSE\r\n\r\n", "HTTP/1.1 400 Bad Request", "bad request\n", "Connection: close"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    LoopbackClient client(port());
    ASSERT_TRUE(client.Send(c.request));
    const std::string reply = client.Receive();
    EXPECT_TRUE(client.closed()) << "the connection stays open";
    EXPECT_THAT(reply, StartsWith(std::string(c.statusLine) + "\r\n"));
    EXPECT_THAT(reply, HasSubstr(std::string(c.header) + "\r\n"));
    const std::string body = reply.substr(reply.find("\r\n\r\n") + 4);
    EXPECT_EQ(body, c.body != nullptr ? c.body : "");
  }
}

TEST_F(HttpServerTest, KeptAliveConnectionsServeOneRequestAfterAnother) {
  Serve();
  LoopbackClient client(port());
  ASSERT_TRUE(client.Send(Request("GET", "/") + Request("HEAD", "/") + Request("GET", "/x")));
  const std::string replies = client.Receive(500);
  EXPECT_FALSE(client.closed());
  EXPECT_THAT(replies, StartsWith("HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(replies, HasSubstr("you asked for /HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(replies, EndsWith("\r\n\r\nyou asked for /x"));
}

TEST_F(HttpServerTest, RequestsBeyondTheLimitsAreRefusedAndTheConnectionClosed) {
  HttpLimits limits;
  limits.headerBytes = 1024;
  limits.headerFields = 8;
  Serve(limits);
  std::string manyFields;
  for (int i = 0; i < 9; ++i) manyFields += "X-" + std::to_string(i) + ": 1\r\n";
  const struct {
    std::string request;
    const char* statusLine;
  } cases[] = {
      {Request("GET", "/", "X-Big: " + std::string(2000, 'a') + "\r\n"),
       "HTTP/1.1 431 Request Header Fields Too Large"},
      {Request("GET", "/" + std::string(2000, 'a')),
       "HTTP/1.1 431 Request Header Fields Too Large"},
      {Request("GET", "/", manyFields), "HTTP/1.1 431 Request Header Fields Too Large"},
      {Request("GET", "/", "Content-Length: 5\r\n") + "hello", "HTTP/1.1 413 Payload Too Large"},
      {Request("GET", "/", "Transfer-Encoding: chunked\r\n") + "5\r\nhello\r\n0\r\n\r\n",
       "HTTP/1.1 413 Payload Too Large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 60));
    LoopbackClient client(port());
    client.Send(c.request);
    const std::string reply = client.Receive();
    EXPECT_THAT(reply, StartsWith(std::string(c.statusLine) + "\r\n"));
    EXPECT_TRUE(client.closed());
  }
  // Exactly at the limit is still served.
  std::string fields;
  for (int i = 0; i < 6; ++i) fields += "X-" + std::to_string(i) + ": 1\r\n";  // and Host: 7
  LoopbackClient client(port());
  client.Send(Request("GET", "/", fields + "Connection: close\r\n"));
  EXPECT_THAT(client.Receive(), StartsWith("HTTP/1.1 200 OK\r\n"));
}

TEST_F(HttpServerTest, AClientTooSlowIsCutOff) {
  HttpLimits limits;
  limits.readTimeout = Milliseconds(300);
  Serve(limits);
  // Half a request, then nothing: closed at the read timeout, unanswered.
  LoopbackClient slow(port());
  ASSERT_TRUE(slow.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(slow.Receive(5000), "");
  EXPECT_TRUE(slow.closed());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(HttpServerTest, ConnectionsAreBounded) {
  HttpLimits limits;
  limits.connections = 2;
  Serve(limits);
  // Two idle connections take the places; a third is closed at once, unanswered.
  auto first = std::make_unique<LoopbackClient>(port());
  auto second = std::make_unique<LoopbackClient>(port());
  ASSERT_TRUE(first->Send(Request("GET", "/")));  // kept alive, and known to the server
  ASSERT_THAT(first->Receive(200), StartsWith("HTTP/1.1 200 OK"));
  ASSERT_TRUE(second->Send(Request("GET", "/")));
  ASSERT_THAT(second->Receive(200), StartsWith("HTTP/1.1 200 OK"));
  LoopbackClient third(port());
  third.Send(Request("GET", "/"));
  EXPECT_EQ(third.Receive(2000), "");
  EXPECT_TRUE(third.closed());
  // One that goes frees its place.
  first.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  LoopbackClient fourth(port());
  fourth.Send(Request("GET", "/", "Connection: close\r\n"));
  EXPECT_THAT(fourth.Receive(), StartsWith("HTTP/1.1 200 OK"));
}

TEST_F(HttpServerTest, ThePeriodicTaskRunsAtOnceAndThenEveryPeriod) {
  std::atomic<int> runs{0};
  HttpServer server([](std::string_view) { return HttpReply{}; });
  server.Every(Milliseconds(50), [&runs] { ++runs; });
  ASSERT_EQ(server.Start("127.0.0.1", 0), "");
  std::this_thread::sleep_for(std::chrono::milliseconds(275));
  server.Stop();
  const int counted = runs.load();
  EXPECT_GE(counted, 3);
  EXPECT_LE(counted, 7);
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  EXPECT_EQ(runs.load(), counted) << "it ran after Stop";
}

TEST_F(HttpServerTest, APortInUseOrANameInsteadOfAnAddressIsReported) {
  Serve();
  HttpServer second([](std::string_view) { return HttpReply{}; });
  EXPECT_THAT(second.Start("127.0.0.1", port()),
              StartsWith("cannot listen on 127.0.0.1:" + std::to_string(port()) + ": "));
  HttpServer named([](std::string_view) { return HttpReply{}; });
  EXPECT_EQ(named.Start("localhost", 0), "localhost is not an IP address");
}

}  // namespace
}  // namespace merloxd
