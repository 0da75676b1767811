// Each type of check, healthy and failing, against the real machine (files, disks,
// memory, sockets, processes, commands) and the simulated card (sensors, inputs).
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Checks.h"
#include "LibraryFixture.h"

namespace merloxd {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

CheckSettings Settings(CheckKind kind, Milliseconds timeout = Milliseconds(2000)) {
  CheckSettings settings;
  settings.name = "c";
  settings.timeout = timeout;
  settings.kind = std::move(kind);
  return settings;
}

CheckResult RunOnce(const CheckKind& kind, Milliseconds timeout = Milliseconds(2000)) {
  const auto check = MakeCheck(Settings(kind, timeout), [](const CardName&) { return -1; });
  return check->Run();
}

// A scratch folder of the test's own, removed afterwards.
class Scratch {
 public:
  Scratch() : path_(fs::temp_directory_path() / ("merloxd-checks-" + std::to_string(getpid()))) {
    fs::create_directories(path_);
  }
  ~Scratch() { fs::remove_all(path_); }
  std::string File(const std::string& name, const std::string& contents) const {
    std::ofstream(path_ / name) << contents;
    return (path_ / name).string();
  }

 private:
  fs::path path_;
};

// A listening socket on 127.0.0.1, on a port the system chose.
class Listener {
 public:
  Listener() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(fd_, 4);
    socklen_t size = sizeof(address);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
};

TEST(ChecksTest, FileMustExistAndHaveChangedRecently) {
  Scratch scratch;
  const std::string fresh = scratch.File("fresh", "x");
  const std::string stale = scratch.File("stale", "x");
  fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::hours(2));
  const Milliseconds hour(3600000);
  EXPECT_TRUE(RunOnce(FileCheck{fresh, hour}).healthy);
  const CheckResult old = RunOnce(FileCheck{stale, hour});
  EXPECT_FALSE(old.healthy);
  EXPECT_THAT(old.detail, HasSubstr(", longer than 1 h"));
  EXPECT_FALSE(RunOnce(FileCheck{fresh + ".missing", hour}).healthy);
}

TEST(ChecksTest, DiskAndMemoryThresholdsAroundWhatTheMachineHas) {
  const uint64_t free = fs::space("/").available;
  EXPECT_TRUE(RunOnce(DiskCheck{"/", free / 2}).healthy);
  const CheckResult full = RunOnce(DiskCheck{"/", free * 2});
  EXPECT_FALSE(full.healthy);
  EXPECT_THAT(full.detail, HasSubstr(" free, less than "));
  EXPECT_FALSE(RunOnce(DiskCheck{"/no/such/disk", 1}).healthy);
  EXPECT_TRUE(RunOnce(MemoryCheck{1}).healthy);
  const CheckResult short_ = RunOnce(MemoryCheck{~0ull / 2});
  EXPECT_FALSE(short_.healthy);
  EXPECT_THAT(short_.detail, HasSubstr(" available, less than "));
}

TEST(ChecksTest, TcpNeedsAConnectionToOpen) {
  Listener listener;
  EXPECT_TRUE(RunOnce(TcpCheck{"127.0.0.1", listener.port()}).healthy);
  listener.Close();
  const CheckResult closed = RunOnce(TcpCheck{"127.0.0.1", listener.port()});
  EXPECT_FALSE(closed.healthy);
  EXPECT_THAT(closed.detail, StartsWith("127.0.0.1:" + std::to_string(listener.port()) + ": "));
  EXPECT_FALSE(RunOnce(TcpCheck{"no-such-host.invalid", 80}).healthy);
}

TEST(ChecksTest, ProcessByImageOrPidfile) {
  Scratch scratch;
  EXPECT_TRUE(RunOnce(ProcessCheck{"merloxd_tests", ""}).healthy);
  EXPECT_FALSE(RunOnce(ProcessCheck{"no-such-image", ""}).healthy);
  EXPECT_TRUE(RunOnce(ProcessCheck{"", scratch.File("me.pid", std::to_string(getpid()))}).healthy);
  // A child that was started and killed: its id names no running process.
  const pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  const CheckResult gone =
      RunOnce(ProcessCheck{"", scratch.File("gone.pid", std::to_string(child))});
  EXPECT_FALSE(gone.healthy);
  EXPECT_EQ(gone.detail, "process " + std::to_string(child) + " does not run");
  EXPECT_FALSE(RunOnce(ProcessCheck{"", scratch.File("empty.pid", "")}).healthy);
}

TEST(ChecksTest, CommandExitCodeAndAHangKilledAtItsTimeout) {
  EXPECT_TRUE(RunOnce(CommandCheck{"exit 0"}).healthy);
  const CheckResult failed = RunOnce(CommandCheck{"exit 3"});
  EXPECT_FALSE(failed.healthy);
  EXPECT_EQ(failed.detail, "exit code 3");
  Scratch scratch;
  const std::string pidfile = scratch.File("child.pid", "");
  const auto begin = std::chrono::steady_clock::now();
  const CheckResult hung =
      RunOnce(CommandCheck{"sleep 30 & echo $! > " + pidfile + "; sleep 30"}, Milliseconds(300));
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_FALSE(hung.healthy);
  EXPECT_EQ(hung.detail, "still running after 300 ms: killed");
  EXPECT_LT(took, std::chrono::seconds(5));
  // What the command started in the background dies with it.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const CheckResult survivor = RunOnce(ProcessCheck{"", pidfile});
  EXPECT_FALSE(survivor.healthy) << survivor.detail;
}

class CardChecksTest : public merlox::test::LibraryTest {
 protected:
  static constexpr uint64_t kSerial = 0x0000004D584F0A01ull;

  std::unique_ptr<Check> Make(CheckKind kind) {
    return MakeCheck(Settings(std::move(kind)), [](const CardName& card) {
      return card.serial ? GetCardBySerialNumber(*card.serial) : card.number;
    });
  }
};

TEST_F(CardChecksTest, SensorsAndInputsAgainstTheirLimits) {
  const int card = driver().Plug({0x8080, 0x0001, "", u"A", kSerial});
  GetNumCards();
  driver().WithCard(card, [](merlox::sim::Card& firmware) {
    firmware.SetSensorCount(merlox::sim::kTemperatureCount, 25845);  // 22.45 C
    firmware.SetSensorCount(merlox::sim::kHumidityCount, 29360);     // 50.0 %
    return 0;
  });
  driver().SetInputs(card, 0x08);
  const CardName named{kSerial, 0};
  using Q = SensorCheck::Quantity;
  const struct {
    CheckKind kind;
    bool healthy;
    const char* detail;
  } cases[] = {
      {SensorCheck{Q::kTemperature, named, std::nullopt, 30.0}, true, "22.45 C"},
      {SensorCheck{Q::kTemperature, named, std::nullopt, 20.0}, false, "22.45 C, above 20.00 C"},
      {SensorCheck{Q::kTemperature, named, 25.0, std::nullopt}, false, "22.45 C, below 25.00 C"},
      {SensorCheck{Q::kHumidity, named, 40.0, 60.0}, true, "50.00 %"},
      {SensorCheck{Q::kHumidity, named, std::nullopt, 45.0}, false, "50.00 %, above 45.00 %"},
      {InputCheck{named, 3, 1}, true, "input 3 is 1"},
      {InputCheck{named, 2, 1}, false, "input 2 is 0"},
      {InputCheck{CardName{std::nullopt, 0}, 3, 0}, false, "input 3 is 1"},
      {InputCheck{CardName{0x1234, 0}, 3, 1}, false, "the card is not there"},
  };
  for (const auto& c : cases) {
    const CheckResult result = Make(c.kind)->Run();
    EXPECT_EQ(result.healthy, c.healthy) << c.detail;
    EXPECT_EQ(result.detail, c.detail);
  }
  // The inputs are peeked: their latched changes stay for the application.
  uint8_t rising = 0, falling = 0;
  ASSERT_EQ(DI_ReadLatched(0, &rising, &falling), 0u);
  EXPECT_EQ(rising, 0x08);
}

}  // namespace
}  // namespace merloxd
