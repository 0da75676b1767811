// The guard's engine in the test's own process, with short durations, against the
// simulated card: feeding, grace, the two actions, dry run, repairs, pause, startup
// grace, the boot loop, a card that goes and comes back, and the clean stop.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "CheckRunner.h"
#include "ConfigFile.h"
#include "Engine.h"
#include "LibraryFixture.h"

namespace merloxd {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint64_t kSerial = 0x0000004D584F0A01ull;

class EngineTest : public merlox::test::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    folder_ = fs::temp_directory_path() / ("merloxd-engine-" + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "state");
    card_ = driver().Plug({0x8080, 0x0001, "", u"A", kSerial});
    GetNumCards();
  }
  void TearDown() override {
    fs::remove_all(folder_);
    LibraryTest::TearDown();
  }

  std::string Path(const char* name) const { return (folder_ / name).string(); }
  std::string StateDir() const { return (folder_ / "state").string(); }

  // A configuration with a file check on `watched` and whatever else is given.
  GuardConfig Config(const std::string& watchdogExtra, const std::string& checkExtra = "",
                     const std::string& more = "") {
    const std::string text =
        "[watchdog]\ncard = \"serial:0x0000004D584F0A01\"\ntimeout = \"3s\"\n"
        "interval = \"100ms\"\n" +
        watchdogExtra + "\n" + more + "\n[[check]]\nname = \"f\"\n" + "type = \"file\"\npath = \"" +
        Path("watched") + "\"\nmax_age = \"1h\"\ninterval = \"100ms\"\n" + checkExtra + "\n";
    return ParseConfig(text, "guard.toml");
  }

  merlox::sim::Card::Watchdog Watchdog() {
    return driver().WithCard(card_, [](merlox::sim::Card& card) { return card.watchdog(); });
  }

  template <class Condition>
  static bool WaitFor(Condition condition, int milliseconds = 5000) {
    for (int waited = 0; waited < milliseconds; waited += 10) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
  }

  // The engine on a thread of its own until Finish.
  class Guard {
   public:
    Guard(GuardConfig config, const std::string& stateDir, Milliseconds pause = Milliseconds(0))
        : engine_(std::move(config), stateDir, log_) {
      if (pause.count() > 0) engine_.Pause(pause, "test");
      thread_ = std::thread([this] { result_ = engine_.Run(); });
    }
    ~Guard() {
      if (thread_.joinable()) Finish();
    }
    int Finish() {
      engine_.Stop();
      thread_.join();
      return result_;
    }
    std::string log() const { return log_.str(); }
    Engine& engine() { return engine_; }

   private:
    std::ostringstream log_;
    Engine engine_;
    std::thread thread_;
    int result_ = -1;
  };

  std::vector<std::string> JournalEvents() const {
    std::vector<std::string> events;
    std::ifstream journal(StateDir() + "/journal.jsonl");
    for (std::string line; std::getline(journal, line);) {
      events.push_back(nlohmann::json::parse(line)["event"]);
    }
    return events;
  }

  void Touch(const char* name) { std::ofstream(Path(name)) << "x"; }

  fs::path folder_;
  int card_ = 0;
};

TEST_F(EngineTest, FeedsWhileHealthyAndACleanStopDisarmsOrNot) {
  Touch("watched");
  for (const bool disarm : {true, false}) {
    SCOPED_TRACE(disarm ? "stop_disarms" : "stays armed");
    const unsigned before = Watchdog().pets;
    Guard guard(Config(disarm ? "" : "stop_disarms = false"), StateDir());
    ASSERT_TRUE(WaitFor([&] { return Watchdog().pets >= before + 5; }));
    EXPECT_TRUE(Watchdog().running);
    EXPECT_EQ(Watchdog().timeoutSeconds, 3);
    EXPECT_EQ(guard.Finish(), 0);
    EXPECT_EQ(Watchdog().running, !disarm);
    const LoadedState state = LoadState(StateDir() + "/state.json");
    ASSERT_TRUE(state.state) << state.problem;
    EXPECT_TRUE(state.state->cleanStop);
    EXPECT_EQ(state.state->armed, !disarm);
    EXPECT_FALSE(state.state->acted);
    EXPECT_THAT(guard.log(), HasSubstr("armed card 0 with a timeout of 3 s"));
  }
  EXPECT_THAT(JournalEvents(), Contains("stopped"));
}

TEST_F(EngineTest, ACheckFailingPastItsGraceStopsTheFeeding) {
  Guard guard(Config("grace = \"400ms\""), StateDir());
  ASSERT_TRUE(WaitFor([&] {
    const auto events = JournalEvents();
    return std::find(events.begin(), events.end(), "acted") != events.end();
  }));
  const unsigned pets = Watchdog().pets;
  EXPECT_GE(pets, 2u) << "fed during the grace";
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(Watchdog().pets, pets) << "fed after acting";
  EXPECT_TRUE(Watchdog().running) << "the card is left to reset the host";
  guard.Finish();
  EXPECT_TRUE(Watchdog().running) << "a clean stop after acting leaves the card armed";
  const LoadedState state = LoadState(StateDir() + "/state.json");
  ASSERT_TRUE(state.state);
  EXPECT_EQ(state.state->acted, "f failing past its grace");
  EXPECT_THAT(guard.log(), HasSubstr("check f failing: "));
}

TEST_F(EngineTest, StatusShowsTheCardTheFeedingTheChecksThePauseAndTheActions) {
  const int64_t start = UnixMillisecondsNow();
  Guard guard(Config("grace = \"300ms\""), StateDir());
  ASSERT_TRUE(WaitFor([&] { return guard.engine().Status().actions.count("reset") == 1; }));
  GuardStatus status = guard.engine().Status();
  EXPECT_TRUE(status.armed);
  EXPECT_EQ(status.cardNumber, 0);
  EXPECT_EQ(status.serial, kSerial);
  EXPECT_EQ(status.timeout, Milliseconds(3000));
  EXPECT_EQ(status.feeds, Watchdog().pets);
  EXPECT_EQ(status.lateness.samples, status.feeds);
  EXPECT_GT(status.lateness.max, 0.0);
  EXPECT_LT(status.lateness.max, 1000.0);
  ASSERT_TRUE(status.lastFeed);
  EXPECT_GE(*status.lastFeed, start);
  EXPECT_EQ(status.decision, "f failing past its grace");
  EXPECT_TRUE(status.previousRunClean) << "no run before this one";
  ASSERT_EQ(status.checks.size(), 1u);
  const CheckStatus& check = status.checks[0];
  EXPECT_EQ(check.name, "f");
  EXPECT_EQ(check.type, "file");
  EXPECT_FALSE(check.healthy);
  EXPECT_GE(check.failures, 2u) << "failed every 100 ms through the grace";
  ASSERT_TRUE(check.failingSince);
  EXPECT_GE(*check.failingSince, start - 50);
  EXPECT_LE(*check.failingSince, start + 1000);
  EXPECT_FALSE(status.paused);

  guard.engine().Pause(Milliseconds(60000), "maintenance");
  status = guard.engine().Status();
  EXPECT_TRUE(status.paused);
  EXPECT_EQ(status.pauseReason, "maintenance");
  ASSERT_TRUE(status.pausedUntil);
  EXPECT_NEAR(static_cast<double>(*status.pausedUntil - UnixMillisecondsNow()), 60000.0, 1000.0);
  const nlohmann::json json = StatusJson(status);
  EXPECT_EQ(json["serial"], "0x0000004D584F0A01");
  EXPECT_EQ(json["checks"][0]["healthy"], false);
  EXPECT_EQ(json["actions"]["reset"], 1);
  guard.Finish();
}

TEST_F(EngineTest, AnApplicationThatStopsPingingStopsTheFeeding) {
  Touch("watched");
  const std::string heartbeat =
      "[[check]]\nname = \"app\"\ntype = \"heartbeat\"\ninterval = \"100ms\"\n"
      "grace = \"300ms\"\n";
  Guard guard(Config("", "", heartbeat), StateDir());
  Heartbeats& heartbeats = guard.engine().heartbeats();
  ASSERT_EQ(heartbeats.Register("app", Milliseconds(200), Heartbeats::Clock::now()), "");
  for (int i = 0; i < 12; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(heartbeats.Ping("app", Heartbeats::Clock::now()), "");
  }
  EXPECT_THAT(JournalEvents(), Not(Contains("acted"))) << "fed while it pinged";
  EXPECT_GE(Watchdog().pets, 8u);
  ASSERT_TRUE(WaitFor([&] {
    const auto events = JournalEvents();
    return std::find(events.begin(), events.end(), "acted") != events.end();
  }));
  guard.Finish();
  EXPECT_THAT(guard.log(), HasSubstr("check app failing: no ping for"));
  EXPECT_THAT(guard.log(), HasSubstr("acting: app failing past its grace"));
}

TEST_F(EngineTest, RebootRequestsARestartWithTheBackstopArmed) {
  Guard guard(Config("on_failure = \"reboot\"\nreboot_backstop = \"2m\""), StateDir());
  ASSERT_TRUE(system().WaitForExitRequests(1, 5000));
  EXPECT_EQ(system().ExitRequests()[0].flags, 6u);  // restart by force
  EXPECT_EQ(Watchdog().timeoutSeconds, 120);
  EXPECT_TRUE(Watchdog().running);
  guard.Finish();
}

TEST_F(EngineTest, ADryRunNeverArmsAndActsOnNothing) {
  Guard guard(Config("dry_run = true\non_failure = \"reboot\""), StateDir());
  ASSERT_TRUE(WaitFor([&] {
    const auto events = JournalEvents();
    return std::find(events.begin(), events.end(), "would_act") != events.end();
  }));
  guard.Finish();
  EXPECT_FALSE(Watchdog().running);
  EXPECT_EQ(Watchdog().pets, 0u);
  EXPECT_TRUE(system().ExitRequests().empty());
  EXPECT_THAT(guard.log(), HasSubstr("dry run: would restart Windows: f failing past its grace"));
}

TEST_F(EngineTest, ARepairThatHelpsKeepsFeeding) {
  const std::string repair = "[repair]\ncommand = \"touch " + Path("watched") + "\"\nmaximum = 2\n";
  Guard repaired(Config("", "", repair), StateDir());
  ASSERT_TRUE(WaitFor([&] {
    const auto events = JournalEvents();
    return std::find(events.begin(), events.end(), "check_recovered") != events.end();
  }));
  const unsigned pets = Watchdog().pets;
  ASSERT_TRUE(WaitFor([&] { return Watchdog().pets >= pets + 3; })) << "fed after the repair";
  repaired.Finish();
  EXPECT_THAT(JournalEvents(), Contains("repair"));
  EXPECT_THAT(JournalEvents(), Contains("repair_ended"));
  const LoadedState state = LoadState(StateDir() + "/state.json");
  ASSERT_TRUE(state.state);
  EXPECT_FALSE(state.state->acted);
}

TEST_F(EngineTest, RepairsThatDoNotHelpEndInTheAction) {
  Guard guard(Config("", "", "[repair]\ncommand = \"true\"\nmaximum = 2\n"), StateDir());
  ASSERT_TRUE(WaitFor([&] {
    const auto events = JournalEvents();
    return std::find(events.begin(), events.end(), "acted") != events.end();
  }));
  guard.Finish();
  const auto events = JournalEvents();
  EXPECT_EQ(std::count(events.begin(), events.end(), "repair"), 2);
  EXPECT_THAT(guard.log(), HasSubstr("acting: f failing past its grace after 2 repairs"));
}

TEST_F(EngineTest, APauseFeedsWhateverTheChecksSayUntilItEnds) {
  Guard guard(Config(""), StateDir(), Milliseconds(800));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_THAT(JournalEvents(), Not(Contains("acted")));
  EXPECT_GE(Watchdog().pets, 3u);
  ASSERT_TRUE(WaitFor([&] {
    const auto events = JournalEvents();
    return std::find(events.begin(), events.end(), "acted") != events.end();
  }));
  guard.Finish();
  EXPECT_THAT(JournalEvents(), Contains("resumed"));
}

TEST_F(EngineTest, FailuresDuringTheStartupGraceDoNotCount) {
  const auto begin = std::chrono::steady_clock::now();
  Guard guard(Config("startup_grace = \"700ms\""), StateDir());
  ASSERT_TRUE(WaitFor([&] {
    const auto events = JournalEvents();
    return std::find(events.begin(), events.end(), "acted") != events.end();
  }));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(700));
  guard.Finish();
}

TEST_F(EngineTest, RunsThatKeepEndingBadlyPutTheGuardInSafeMode) {
  GuardState earlier;
  earlier.started = UnixNow() - 60;
  earlier.armed = true;  // and no clean stop
  earlier.badRuns = {UnixNow() - 600, UnixNow() - 300};
  ASSERT_EQ(SaveState(StateDir() + "/state.json", earlier), "");
  Guard guard(Config("", "", "[boot_loop]\nmax_guard_boots = 3\nwindow = \"1h\"\n"), StateDir());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  guard.Finish();
  const auto events = JournalEvents();
  EXPECT_THAT(events, Contains("safe_mode"));
  EXPECT_THAT(events, Not(Contains("acted")));
  EXPECT_GE(Watchdog().pets, 3u);
  EXPECT_THAT(guard.log(), HasSubstr("ended with the card armed and no clean stop"));
}

TEST_F(EngineTest, ACardThatGoesIsLookedForAndArmedAgainWhenItComesBack) {
  Touch("watched");
  Guard guard(Config(""), StateDir());
  ASSERT_TRUE(WaitFor([&] { return Watchdog().pets >= 2; }));
  driver().Unplug(card_);
  ASSERT_TRUE(WaitFor([&] {
    const auto events = JournalEvents();
    return std::find(events.begin(), events.end(), "card_lost") != events.end();
  }));
  card_ = driver().Replug(card_);
  ASSERT_TRUE(WaitFor([&] { return Watchdog().running && Watchdog().pets >= 2; }))
      << "armed and fed again";
  EXPECT_EQ(Watchdog().timeoutSeconds, 3);
  guard.Finish();
  const auto events = JournalEvents();
  EXPECT_EQ(std::count(events.begin(), events.end(), "armed"), 2);
}

TEST(LatenessRecordTest, PercentilesOfTheLastSamplesOnly) {
  LatenessRecord record;
  EXPECT_EQ(record.Summary().samples, 0u);
  for (int i = 1; i <= 100; ++i) record.Add(i);
  FeedLateness summary = record.Summary();
  EXPECT_EQ(summary.samples, 100u);
  EXPECT_EQ(summary.p50, 50.0);
  EXPECT_EQ(summary.p99, 99.0);
  EXPECT_EQ(summary.max, 100.0);
  // A late feed long ago is forgotten once the ring has gone round.
  for (size_t i = 0; i < LatenessRecord::kSamples; ++i) record.Add(2.0);
  summary = record.Summary();
  EXPECT_EQ(summary.samples, LatenessRecord::kSamples);
  EXPECT_EQ(summary.max, 2.0);
}

// A check that hangs counts as failed at its timeout, and never holds anything up.
TEST(CheckRunnerTest, ACheckThatDoesNotAnswerFailsAtItsTimeout) {
  struct Hanging : Check {
    CheckResult Run() override {
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
      return {true, "late"};
    }
  };
  CheckSettings settings;
  settings.name = "slow";
  settings.interval = Milliseconds(100);
  settings.timeout = Milliseconds(200);
  std::vector<CheckRunner::Entry> entries;
  entries.push_back({settings, std::make_unique<Hanging>()});
  CheckRunner runner(std::move(entries));
  const TimePoint start = Clock::now();
  runner.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(runner.Reports(Clock::now())[0].state.healthy) << "not late yet";
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  const CheckReport late = runner.Reports(Clock::now())[0];
  EXPECT_FALSE(late.state.healthy);
  EXPECT_EQ(late.detail, "no answer within 200 ms");
  EXPECT_GE(late.state.failingSince, start + Milliseconds(200));
  runner.Stop();
}

}  // namespace
}  // namespace merloxd
