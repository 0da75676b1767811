// The control channel: the heartbeat register's rules, what the protocol answers to
// every kind of mistake, and the server end to end through the C client header that
// applications use, on a real socket.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "ConfigFile.h"
#include "ControlServer.h"
#include "Engine.h"
#include "merloxd_client.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace merloxd {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

using HeartbeatClock = Heartbeats::Clock;

TEST(HeartbeatsTest, AnApplicationMustRegisterAndThenPingWithinItsTimeout) {
  Heartbeats heartbeats({"app"});
  const auto t0 = HeartbeatClock::now();
  const auto at = [t0](int ms) { return t0 + Milliseconds(ms); };

  EXPECT_FALSE(heartbeats.Judge("app", t0).healthy) << "never registered";
  EXPECT_EQ(heartbeats.Judge("app", t0).detail, "no application has registered yet");
  EXPECT_THAT(heartbeats.Ping("app", t0), HasSubstr("not registered"));

  ASSERT_EQ(heartbeats.Register("app", Milliseconds(1000), t0), "");
  EXPECT_TRUE(heartbeats.Judge("app", at(1000)).healthy) << "registering is a sign of life";
  EXPECT_FALSE(heartbeats.Judge("app", at(1001)).healthy);
  EXPECT_THAT(heartbeats.Judge("app", at(1500)).detail,
              HasSubstr("no ping for 1500 ms, more than its timeout of 1 s"));

  ASSERT_EQ(heartbeats.Ping("app", at(1500)), "");
  EXPECT_TRUE(heartbeats.Judge("app", at(2000)).healthy) << "a late ping heals";
  EXPECT_FALSE(heartbeats.Judge("app", at(2600)).healthy);

  ASSERT_EQ(heartbeats.Unregister("app"), "");
  EXPECT_TRUE(heartbeats.Judge("app", at(100000)).healthy) << "stopped on purpose";
  EXPECT_THAT(heartbeats.Ping("app", at(100000)), HasSubstr("not registered"));
  EXPECT_THAT(heartbeats.Unregister("app"), HasSubstr("not registered"));
  ASSERT_EQ(heartbeats.Register("app", Milliseconds(200), at(100000)), "");
  EXPECT_FALSE(heartbeats.Judge("app", at(100300)).healthy) << "watched again";
}

TEST(HeartbeatsTest, RefusesUnknownNamesAndTimeoutsOutOfRange) {
  Heartbeats heartbeats({"app"});
  const auto now = HeartbeatClock::now();
  EXPECT_EQ(heartbeats.Register("other", Milliseconds(1000), now),
            "no heartbeat check is named \"other\"");
  EXPECT_EQ(heartbeats.Ping("other", now), "no heartbeat check is named \"other\"");
  for (const Milliseconds timeout : {Milliseconds(99), Milliseconds(24LL * 3600 * 1000 + 1)}) {
    EXPECT_EQ(heartbeats.Register("app", timeout, now), "a heartbeat's timeout is 100 ms to 24 h");
  }
  EXPECT_FALSE(heartbeats.Judge("app", now).healthy) << "a refused registration is none";
}

// An engine that is not running: the protocol only needs its register, status and pause.
class ProtocolTest : public ::testing::Test {
 protected:
  ProtocolTest()
      : engine_(ParseConfig("[watchdog]\ncard = 0\ntimeout = \"60s\"\n[[check]]\nname = \"app\"\n"
                            "type = \"heartbeat\"\n",
                            "guard.toml"),
                (fs::temp_directory_path() / "merloxd-protocol-unused").string(), log_),
        protocol_(engine_) {}

  std::string Answer(const std::string& line, ControlAccess access = ControlAccess::kFull) {
    return protocol_.Answer(line, access);
  }

  std::ostringstream log_;
  Engine engine_;
  ControlProtocol protocol_;
};

TEST_F(ProtocolTest, EveryMistakeIsAnsweredWithItsReason) {
  struct Case {
    std::string line;
    std::string error;
  };
  const Case cases[] = {
      {"", "a message is one JSON object on one line"},
      {"ping app", "a message is one JSON object on one line"},
      {"[1,2]", "a message is one JSON object on one line"},
      {"{\"op\":\"ping\"", "a message is one JSON object on one line"},
      {"{\"name\":\"app\"}", "\\\"op\\\" is missing"},
      {"{\"op\":7}", "\\\"op\\\" must be a string"},
      {"{\"op\":\"reboot\"}",
       "unknown op \\\"reboot\\\": one of register, ping, unregister, status, pause, resume"},
      {"{\"op\":\"ping\"}", "\\\"name\\\" is missing"},
      {"{\"op\":\"ping\",\"name\":[\"app\"]}", "\\\"name\\\" must be a string"},
      {"{\"op\":\"ping\",\"name\":\"" + std::string(65, 'a') + "\"}",
       "\\\"name\\\" is longer than 64 characters"},
      {"{\"op\":\"ping\",\"name\":\"nope\"}", "no heartbeat check is named \\\"nope\\\""},
      {"{\"op\":\"register\",\"name\":\"app\"}", "\\\"timeout_ms\\\" is missing"},
      {"{\"op\":\"register\",\"name\":\"app\",\"timeout_ms\":\"10s\"}",
       "\\\"timeout_ms\\\" must be a whole number of milliseconds"},
      {"{\"op\":\"register\",\"name\":\"app\",\"timeout_ms\":1.5}",
       "\\\"timeout_ms\\\" must be a whole number of milliseconds"},
      {"{\"op\":\"register\",\"name\":\"app\",\"timeout_ms\":-5}",
       "a heartbeat's timeout is 100 ms to 24 h"},
      {"{\"op\":\"register\",\"name\":\"app\",\"timeout_ms\":18446744073709551615}",
       "a heartbeat's timeout is 100 ms to 24 h"},
      {"{\"op\":\"pause\"}", "\\\"duration_ms\\\" is missing"},
      {"{\"op\":\"pause\",\"duration_ms\":999}", "a pause lasts 1 s to 24 h"},
      {"{\"op\":\"pause\",\"duration_ms\":86400001}", "a pause lasts 1 s to 24 h"},
      {"{\"op\":\"pause\",\"duration_ms\":60000,\"reason\":\"" + std::string(201, 'r') + "\"}",
       "\\\"reason\\\" is longer than 200 characters"},
      {"{\"op\":\"status\",\"pad\":\"" + std::string(kMaximumControlLine, ' ') + "\"}",
       "the message is longer than 4096 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 80));
    EXPECT_EQ(Answer(c.line), "{\"ok\":false,\"error\":\"" + c.error + "\"}");
  }
  EXPECT_FALSE(engine_.Status().paused) << "no refused pause took effect";
}

TEST_F(ProtocolTest, HeartbeatClientsMayNotPauseOrResume) {
  for (const char* line : {"{\"op\":\"pause\",\"duration_ms\":60000}", "{\"op\":\"resume\"}"}) {
    EXPECT_THAT(Answer(line, ControlAccess::kHeartbeats), HasSubstr("is for administrators"));
  }
  EXPECT_FALSE(engine_.Status().paused);
  EXPECT_EQ(Answer("{\"op\":\"register\",\"name\":\"app\",\"timeout_ms\":5000}",
                   ControlAccess::kHeartbeats),
            "{\"ok\":true}");
  EXPECT_THAT(Answer("{\"op\":\"status\"}", ControlAccess::kHeartbeats),
              StartsWith("{\"ok\":true,\"status\":{"));
}

TEST_F(ProtocolTest, PauseAndResumeReachTheEngine) {
  EXPECT_EQ(Answer("{\"op\":\"pause\",\"duration_ms\":60000,\"reason\":\"new disk\"}"),
            "{\"ok\":true}");
  EXPECT_TRUE(engine_.Status().paused);
  EXPECT_EQ(engine_.Status().pauseReason, "new disk");
  const nlohmann::json status = nlohmann::json::parse(Answer("{\"op\":\"status\"}"))["status"];
  EXPECT_EQ(status["paused"], true);
  EXPECT_EQ(status["pause_reason"], "new disk");
  EXPECT_EQ(Answer("{\"op\":\"resume\"}"), "{\"ok\":true}");
  EXPECT_FALSE(engine_.Status().paused);
}

// The server on a socket of its own, reached through merloxd_client.h.
class ControlServerTest : public ProtocolTest {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("merloxd-control-" + std::to_string(getpid()));
    fs::create_directories(folder_);
    address_ = (folder_ / "control.sock").string();
    std::string problem;
    auto listener = ListenForControl(address_, &problem);
    ASSERT_TRUE(listener) << problem;
    server_ = std::make_unique<ControlServer>(std::move(listener), engine_);
    server_->Start();
  }
  void TearDown() override {
    server_.reset();
    fs::remove_all(folder_);
  }

  fs::path folder_;
  std::string address_;
  std::unique_ptr<ControlServer> server_;
};

TEST_F(ControlServerTest, TheCClientRegistersPingsAndReadsTheStatus) {
  merloxd_client client;
  ASSERT_EQ(merloxd_connect(&client, address_.c_str()), MERLOXD_OK) << client.error;
  EXPECT_EQ(merloxd_register(&client, "app", 5000), MERLOXD_OK) << client.error;
  EXPECT_EQ(merloxd_ping(&client, "app"), MERLOXD_OK) << client.error;
  EXPECT_TRUE(engine_.heartbeats().Judge("app", HeartbeatClock::now()).healthy);

  EXPECT_EQ(merloxd_ping(&client, "nope"), MERLOXD_REFUSED);
  EXPECT_STREQ(client.error, "no heartbeat check is named \"nope\"");
  EXPECT_EQ(merloxd_ping(&client, "bad name"), MERLOXD_BAD_ARGUMENT);
  EXPECT_EQ(merloxd_register(&client, "app", 10), MERLOXD_REFUSED);
  EXPECT_STREQ(client.error, "a heartbeat's timeout is 100 ms to 24 h");

  char answer[4096];
  ASSERT_EQ(merloxd_request(&client, "{\"op\":\"status\"}", answer, sizeof(answer)), MERLOXD_OK);
  EXPECT_EQ(nlohmann::json::parse(answer)["status"]["checks"][0]["name"], "app");
  EXPECT_EQ(merloxd_request(&client, "{\"op\":\"status\"}", answer, 16), MERLOXD_BROKEN)
      << "an answer too long for the buffer";
  merloxd_close(&client);

  ASSERT_EQ(merloxd_connect(&client, address_.c_str()), MERLOXD_OK);
  EXPECT_EQ(merloxd_unregister(&client, "app"), MERLOXD_OK) << "registration is by name";
  merloxd_close(&client);
}

TEST_F(ControlServerTest, ASecondGuardOnTheSameChannelIsRefused) {
  std::string problem;
  EXPECT_FALSE(ListenForControl(address_, &problem));
  EXPECT_EQ(problem, "another merloxd already listens on " + address_);
  merloxd_client client;
  ASSERT_EQ(merloxd_connect(&client, address_.c_str()), MERLOXD_OK) << "the first still serves";
  EXPECT_EQ(merloxd_register(&client, "app", 5000), MERLOXD_OK);
  merloxd_close(&client);
}

TEST_F(ControlServerTest, NoGuardAndAChannelLeftBehindByOneThatDied) {
  merloxd_client client;
  const std::string elsewhere = (folder_ / "none.sock").string();
  EXPECT_EQ(merloxd_connect(&client, elsewhere.c_str()), MERLOXD_NO_GUARD);
  EXPECT_EQ(std::string(client.error), "no merloxd answers on " + elsewhere);
  // A socket file that a guard which died left behind is taken over.
  server_.reset();
  const int dead = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un where{};
  where.sun_family = AF_UNIX;
  std::snprintf(where.sun_path, sizeof(where.sun_path), "%s", address_.c_str());
  ASSERT_EQ(bind(dead, reinterpret_cast<sockaddr*>(&where), sizeof(where)), 0);
  close(dead);
  ASSERT_TRUE(fs::exists(address_));
  std::string problem;
  EXPECT_TRUE(ListenForControl(address_, &problem)) << problem;
}

TEST_F(ControlServerTest, AnOverlongLineIsAnsweredAndTheClientClosed) {
  merloxd_client client;
  ASSERT_EQ(merloxd_connect(&client, address_.c_str()), MERLOXD_OK);
  const std::string flood(3 * kMaximumControlLine, 'x');
  char answer[512];
  EXPECT_EQ(merloxd_request(&client, flood.c_str(), answer, sizeof(answer)), MERLOXD_REFUSED);
  EXPECT_STREQ(client.error, "the message is longer than 4096 bytes");
  EXPECT_EQ(merloxd_ping(&client, "app"), MERLOXD_BROKEN) << "closed after it";
  merloxd_close(&client);
}

// Random bytes from several clients at once: each is answered or closed, and the
// channel still serves afterwards.
TEST_F(ControlServerTest, GarbageFromManyClientsLeavesTheChannelServing) {
  std::vector<std::thread> clients;
  for (int seed = 0; seed < 4; ++seed) {
    clients.emplace_back([this, seed] {
      std::mt19937 random(seed);
      for (int message = 0; message < 50; ++message) {
        merloxd_client client;
        if (merloxd_connect(&client, address_.c_str()) != MERLOXD_OK) continue;
        std::string junk(random() % 300 + 1, ' ');
        for (char& c : junk) c = static_cast<char>(random() % 255 + 1);
        for (char& c : junk) c = c == '\n' ? '{' : c;
        char answer[512];
        merloxd_request(&client, junk.c_str(), answer, sizeof(answer));
        merloxd_close(&client);
      }
    });
  }
  for (auto& client : clients) client.join();
  merloxd_client client;
  ASSERT_EQ(merloxd_connect(&client, address_.c_str()), MERLOXD_OK);
  EXPECT_EQ(merloxd_register(&client, "app", 5000), MERLOXD_OK) << client.error;
  merloxd_close(&client);
}

TEST_F(ControlServerTest, StopEndsClientsThatSendNothing) {
  merloxd_client idle;
  ASSERT_EQ(merloxd_connect(&idle, address_.c_str()), MERLOXD_OK);
  EXPECT_EQ(merloxd_ping(&idle, "nope"), MERLOXD_REFUSED) << "served before the stop";
  const auto begin = std::chrono::steady_clock::now();
  server_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
  EXPECT_EQ(merloxd_ping(&idle, "app"), MERLOXD_BROKEN);
  merloxd_close(&idle);
}

}  // namespace
}  // namespace merloxd
