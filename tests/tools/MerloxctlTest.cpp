// merloxctl's commands run in the test's own process against the simulated driver,
// so that each test sees what a command sent to the card, and that a refused
// command sent nothing at all.
#include <atomic>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "LibraryFixture.h"
#include "Platform.h"

namespace merlox::test {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr uint64_t kSerialA = 0x0000004D584F0A01ull;
constexpr uint64_t kSerialB = 0x0000004D584F0B02ull;
constexpr const char* kIsoTime =
    R"(^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z )";

struct Result {
  int code = -1;
  std::string out, err;
};

// A stream that another thread may write while the test reads what it holds so far.
class SharedStream {
 public:
  std::ostream& stream() { return stream_; }
  std::string text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffer_.text;
  }

 private:
  struct Buffer : std::streambuf {
    std::mutex* mutex = nullptr;
    std::string text;
    int_type overflow(int_type c) override {
      if (c == traits_type::eof()) return traits_type::not_eof(c);
      std::lock_guard<std::mutex> lock(*mutex);
      text += traits_type::to_char_type(c);
      return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
      std::lock_guard<std::mutex> lock(*mutex);
      text.append(s, static_cast<size_t>(n));
      return n;
    }
  };
  std::mutex mutex_;
  Buffer buffer_ = [this] {
    Buffer b;
    b.mutex = &mutex_;
    return b;
  }();
  std::ostream stream_{&buffer_};
};

class MerloxctlTest : public LibraryTest {
 protected:
  // Two cards with their own serial numbers, found as cards 0 and 1.
  std::vector<int> PlugTwoCards() {
    std::vector<int> cards = {driver().Plug({0x8080, 0x0001, "", u"A", kSerialA}),
                              driver().Plug({0x8081, 0x0001, "", u"B", kSerialB})};
    GetNumCards();
    return cards;
  }

  // Runs merloxctl as a process of its own would: the library finds the cards first,
  // and the request log then holds exactly what the command sent. (Each command
  // closes every card when it ends.)
  static Result Run(std::vector<std::string> args) {
    GetNumCards();
    driver().ClearRequests();
    args.insert(args.begin(), "merloxctl");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    std::ostringstream out, err;
    Result result;
    result.code = merloxctl::Run(static_cast<int>(argv.size()), argv.data(), out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
  }

  static sim::Card::Watchdog WatchdogOf(int card) {
    return driver().WithCard(card, [](sim::Card& firmware) { return firmware.watchdog(); });
  }

  // Runs a command that goes on until Ctrl+C on a thread of its own.
  class Background {
   public:
    explicit Background(std::vector<std::string> args) : args_(std::move(args)) {
      GetNumCards();
      args_.insert(args_.begin(), "merloxctl");
      thread_ = std::thread([this] {
        std::vector<const char*> argv;
        for (const std::string& arg : args_) argv.push_back(arg.c_str());
        code_ = merloxctl::Run(static_cast<int>(argv.size()), argv.data(), out_.stream(),
                               err_.stream());
      });
    }
    ~Background() {
      if (thread_.joinable()) Stop();
    }
    // Presses Ctrl+C and waits for the command to end.
    Result Stop() {
      merloxctl::RequestInterrupt();
      thread_.join();
      return {code_.load(), out_.text(), err_.text()};
    }
    bool WaitForOutput(const std::string& text, unsigned milliseconds = 5000) {
      for (unsigned waited = 0; waited < milliseconds; waited += 10) {
        if (out_.text().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      return false;
    }

   private:
    std::vector<std::string> args_;
    SharedStream out_, err_;
    std::atomic<int> code_{-1};
    std::thread thread_;
  };
};

// A bad value is refused with exit code 2 and a message saying what is wrong,
// before anything reaches the card.
TEST_F(MerloxctlTest, BadCommandLinesAreRefusedBeforeAnythingIsSent) {
  PlugTwoCards();
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"wdg", "status", "99999999999"}, "card number 99999999999 is outside -3..31"},
      {{"wdg", "status", "-1"}, "card number -1 is neither a card (0..31) nor a selector"},
      {{"wdg", "status", "zero"}, "card number \"zero\" is not a number"},
      {{"wdg", "status"}, "wdg status: name a card: CARD (0..31, -2, -3) or --serial SERIAL"},
      {{"wdg", "status", "-s", "0x0"}, "serial number 0x0 is not one a card can have"},
      {{"wdg", "status", "-s", "A01"}, "serial number \"A01\" is not a 64-bit number"},
      {{"wdg", "status", "0", "--serial", "0x4D"}, "give CARD or --serial, not both"},
      {{"wdg", "timeout", "0", "65536000"},
       "a watchdog timeout of 18 h 12 min 16 s is longer than the card can hold"},
      {{"wdg", "timeout", "0", "18.3h"}, "is longer than the card can hold"},
      {{"wdg", "timeout", "0", "0"}, "give --disable-timeout if 0 is what the card should get"},
      {{"wdg", "timeout", "0", "--", "-1s"}, "a watchdog timeout cannot be negative"},
      {{"wdg", "timeout", "0", "500ms"}, "0.5 s is shorter than its shortest, 1 s"},
      {{"wdg", "timeout", "0", "90x"}, "timeout \"90x\" is not a duration"},
      {{"wdg", "timeout", "0", "5s", "--disable-timeout"}, "leave DURATION out"},
      {{"wdg", "timeout", "0"}, "wdg timeout: DURATION is missing"},
      {{"wdg", "reset-duration", "0", "256s"}, "longer than the card can hold (255 s)"},
      {{"wdg", "arm-reaction", "0", "restart"}, "add --yes to arm it"},
      {{"wdg", "arm-reaction", "0", "reboot", "--yes"}, "action \"reboot\" is not a whole number"},
      {{"wdg", "arm-reaction", "0", "6", "--yes"}, "action 6 is outside 0..5"},
      {{"wdg", "keepalive", "0"}, "--interval is required"},
      {{"wdg", "keepalive", "0", "--interval", "50ms"}, "at least 100 ms"},
      {{"wdg", "keepalive", "0", "--interval", "10s", "--timeout", "10s"},
       "is not shorter than the timeout"},
      {{"wdg", "keepalive", "0", "--interval", "1s", "--timeout", "70000s"},
       "longer than the card can hold"},
      {{"do", "write", "0", "256"}, "output value 256 is outside 0..255"},
      {{"do", "set", "0", "8", "1"}, "output 8 is outside 0..7"},
      {{"do", "set", "0", "1"}, "do set: STATE is missing"},
      {{"do", "pwm", "0", "1", "0", "255"}, "PWM high byte 255 is outside -1..254"},
      {{"di", "debounce", "0", "5", "--input", "1", "--inputs", "3"}, "excludes"},
      {{"di", "debounce", "0", "5", "--input", "8"}, "input 8 is outside 0..7"},
      {{"speaker", "0", "70000"}, "frequency 70000 is outside 0..65279"},
      {{"sensors", "0", "1"}, "the following argument was not expected: 1"},
      {{"frobnicate"}, "there is no command \"frobnicate\""},
      {{"wdg", "frob", "0"}, "there is no command \"wdg frob\""},
      {{"--colour", "list"}, "--colour"},
      {{"wdg"}, "a subcommand is required; merloxctl wdg --help shows the usage"},
      {{"help", "wdg", "frob"}, "help: there is no command \"frob\""},
      {{"guard", "pause"}, "DURATION"},
      {{"guard", "pause", "10x"}, "pause \"10x\" is not a duration"},
      {{"guard", "frob"}, "frob"},
      {{"notify"}, "NAME"},
      {{"notify", "app", "--timeout", "5q"}, "timeout \"5q\" is not a duration"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Result result = Run(c.args);
    EXPECT_EQ(result.code, 2);
    EXPECT_THAT(result.out, IsEmpty());
    EXPECT_THAT(result.err, StartsWith("merloxctl: "));
    EXPECT_THAT(result.err, HasSubstr(c.message));
    EXPECT_THAT(driver().Requests(), IsEmpty()) << "a refused command sent a request";
  }
  EXPECT_EQ(WatchdogOf(0).timeoutSeconds, 10) << "the card's timeout changed";
}

TEST_F(MerloxctlTest, EveryCommandHasItsOwnHelpAndHelpSaysTheSame) {
  const char* const commands[] = {"list",
                                  "sensors",
                                  "speaker",
                                  "watch",
                                  "wdg",
                                  "wdg status",
                                  "wdg start",
                                  "wdg stop",
                                  "wdg pet",
                                  "wdg timeout",
                                  "wdg reset-duration",
                                  "wdg arm-reaction",
                                  "wdg keepalive",
                                  "guard",
                                  "guard status",
                                  "guard pause",
                                  "guard resume",
                                  "notify",
                                  "ai",
                                  "ai read",
                                  "ai enable",
                                  "ai disable",
                                  "di",
                                  "di read",
                                  "di debounce",
                                  "di timestamp",
                                  "do",
                                  "do read",
                                  "do write",
                                  "do set",
                                  "do pwm"};
  for (const std::string command : commands) {
    SCOPED_TRACE(command);
    std::vector<std::string> words;
    std::istringstream split(command);
    for (std::string word; split >> word;) words.push_back(word);
    std::vector<std::string> help = {"help"};
    help.insert(help.end(), words.begin(), words.end());
    std::vector<std::string> longFlag = words, shortFlag = words;
    longFlag.push_back("--help");
    shortFlag.push_back("-h");
    const Result viaCommand = Run(help);
    ASSERT_EQ(viaCommand.code, 0) << viaCommand.err;
    EXPECT_THAT(viaCommand.out, HasSubstr("Usage: merloxctl " + command + " "));
    for (const auto& args : {longFlag, shortFlag}) {
      const Result viaFlag = Run(args);
      EXPECT_EQ(viaFlag.code, 0);
      EXPECT_EQ(viaFlag.out, viaCommand.out);
    }
  }
  const Result top = Run({"help"});
  EXPECT_EQ(top.code, 0);
  EXPECT_THAT(top.out, HasSubstr("Usage: merloxctl [OPTIONS] SUBCOMMAND"));
  EXPECT_EQ(Run({"-h"}).out, top.out);
  const Result version = Run({"wdg", "status", "--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_THAT(version.out, ContainsRegex("^merloxctl [0-9]+\\.[0-9]+\\.[0-9]+\n$"));
}

// Options go before or after the command, and -- makes a word of what follows.
TEST_F(MerloxctlTest, OptionsStandAnywhereAndDoubleDashEndsThem) {
  PlugTwoCards();
  const std::vector<std::vector<std::string>> orders = {
      {"--json", "wdg", "status", "0"},
      {"wdg", "--json", "status", "0"},
      {"wdg", "status", "0", "--json"},
      {"wdg", "status", "--json", "--", "0"},
      {"wdg", "status", "--json", "-s", "0x0000004D584F0A01"},
  };
  for (const auto& args : orders) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const Result result = Run(args);
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(nlohmann::json::parse(result.out),
              nlohmann::json::parse(R"({"card":0,"serial":"0x0000004D584F0A01","watchdog":
                  {"status":0,"running":false,"events_enabled":false,"has_reset_host":false}})"));
  }
  const Result selector = Run({"wdg", "start", "--", "-2"});
  EXPECT_EQ(selector.code, 0) << selector.err;
  EXPECT_EQ(selector.out, "card 0 (serial 0x0000004D584F0A01): watchdog started\n");
}

// What each command sends, as the card ends up; selectors and serial numbers are
// printed as the card they resolved to.
TEST_F(MerloxctlTest, CommandsReachTheCardTheyNameAndPrintItResolved) {
  const std::vector<int> cards = PlugTwoCards();
  const struct {
    std::vector<std::string> args;
    const char* output;
  } cases[] = {
      {{"wdg", "timeout", "1", "90s"},
       "card 1 (serial 0x0000004D584F0B02): watchdog timeout 1 min 30 s\n"},
      {{"wdg", "timeout", "-s", "0x4D584F0A01", "65535s"},
       "card 0 (serial 0x0000004D584F0A01): watchdog timeout 18 h 12 min 15 s\n"},
      {{"wdg", "timeout", "0", "2500"},
       "card 0 (serial 0x0000004D584F0A01): watchdog timeout 2 s\n"},
      {{"wdg", "reset-duration", "1", "5s"},
       "card 1 (serial 0x0000004D584F0B02): holds the host in reset for 5 s\n"},
      {{"do", "write", "0", "0xA5"}, "card 0 (serial 0x0000004D584F0A01): outputs 7..0 10100101\n"},
      {{"do", "set", "1", "6", "1"}, "card 1 (serial 0x0000004D584F0B02): outputs 7..0 01000000\n"},
      {{"do", "pwm", "1", "3", "64", "-1"},
       "card 1 (serial 0x0000004D584F0B02): PWM of output 3 set to low 64, high -1\n"},
      {{"di", "debounce", "0", "7", "--inputs", "0x0C"},
       "card 0 (serial 0x0000004D584F0A01): debounce 7 for inputs 2,3\n"},
      {{"speaker", "1", "440"}, "card 1 (serial 0x0000004D584F0B02): speaker 440\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Result result = Run(c.args);
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, c.output);
  }
  driver().WithCard(cards[0], [](sim::Card& card) {
    EXPECT_EQ(card.watchdog().timeoutSeconds, 2);
    EXPECT_EQ(card.Outputs(), 0xA5);
    EXPECT_THAT(card.io().debounce, ::testing::ElementsAre(0, 0, 7, 7, 0, 0, 0, 0));
    return 0;
  });
  driver().WithCard(cards[1], [](sim::Card& card) {
    EXPECT_EQ(card.watchdog().timeoutSeconds, 90);
    EXPECT_EQ(card.watchdog().configuration[5], 5);
    EXPECT_EQ(card.PwmOf(3).value_or(sim::Card::Pwm{}).low, 64);
    EXPECT_EQ(card.PwmOf(3).value_or(sim::Card::Pwm{}).high, 0xFF);
    EXPECT_EQ(card.io().speakerFrequency, 440);
    return 0;
  });
  // Zero only when asked for in so many words.
  const Result disabled = Run({"wdg", "timeout", "0", "--disable-timeout"});
  EXPECT_EQ(disabled.code, 0) << disabled.err;
  EXPECT_EQ(WatchdogOf(cards[0]).timeoutSeconds, 0);
}

TEST_F(MerloxctlTest, MeasurementsHaveOnePrecisionAndTheirUnits) {
  const std::vector<int> cards = PlugTwoCards();
  driver().WithCard(cards[0], [](sim::Card& card) {
    // 22.4475 C and 1000.053 mV as the card counts them.
    card.SetSensorCount(sim::kTemperatureCount, 25845);
    card.SetSensorCount(sim::kAnalog0, 26215);
    return 0;
  });
  const Result text = Run({"ai", "read", "0"});
  const Result json = Run({"ai", "read", "0", "--json"});
  ASSERT_EQ(text.code, 0) << text.err;
  ASSERT_EQ(json.code, 0) << json.err;
  EXPECT_THAT(text.out, HasSubstr("analog input 0: 1000.05 mV\n"));
  EXPECT_EQ(nlohmann::json::parse(json.out)["analog"][0],
            nlohmann::json::parse(R"({"input":0,"millivolts":1000.05})"));
  const Result sensors = Run({"sensors", "0", "--json"});
  EXPECT_EQ(nlohmann::json::parse(sensors.out)["temperature_c"], 22.45);
  EXPECT_THAT(Run({"sensors", "0"}).out, HasSubstr(": 22.45 C ("));
}

// Card numbers change when a card is plugged in again; its serial number does not.
TEST_F(MerloxctlTest, ASerialNumberFindsTheCardUnderItsNewNumberAfterAReplug) {
  const std::vector<int> cards = PlugTwoCards();
  driver().Unplug(cards[0]);
  const int again = driver().Replug(cards[0]);
  driver().WithCard(again, [](sim::Card& card) {
    card.SetSerialNumber(kSerialA);
    return 0;
  });
  const Result bySerial = Run({"wdg", "start", "--serial", "0x0000004D584F0A01"});
  EXPECT_EQ(bySerial.code, 0) << bySerial.err;
  EXPECT_EQ(bySerial.out, "card 2 (serial 0x0000004D584F0A01): watchdog started\n");
  EXPECT_TRUE(WatchdogOf(again).running);

  const Result missing = Run({"wdg", "status", "-s", "0x1234"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err,
            "merloxctl: wdg status: no open card has serial number 0x0000000000001234\n");
  const Result several = Run({"wdg", "status", "-3", "--json"});
  EXPECT_EQ(several.code, 1);
  EXPECT_THAT(several.out, IsEmpty());
  EXPECT_EQ(nlohmann::json::parse(several.err)["error"]["status"], 52);
}

TEST_F(MerloxctlTest, KeepalivePetsOnItsBeatAndStopsTheWatchdogWhenInterrupted) {
  const std::vector<int> cards = PlugTwoCards();
  for (const bool leaveArmed : {false, true}) {
    SCOPED_TRACE(leaveArmed ? "--leave-armed" : "stops");
    const unsigned petsBefore = WatchdogOf(cards[1]).pets;
    std::vector<std::string> args = {"wdg",   "keepalive", "1", "--interval",
                                     "100ms", "--timeout", "1m"};
    if (leaveArmed) args.push_back("--leave-armed");
    Background keepalive(args);
    ASSERT_TRUE(keepalive.WaitForOutput("watchdog armed"));
    EXPECT_TRUE(WatchdogOf(cards[1]).running);
    std::this_thread::sleep_for(std::chrono::milliseconds(550));
    const Result result = keepalive.Stop();
    EXPECT_EQ(result.code, 0) << result.err;
    const sim::Card::Watchdog watchdog = WatchdogOf(cards[1]);
    const unsigned pets = watchdog.pets - petsBefore;
    EXPECT_GE(pets, 3u);
    EXPECT_LE(pets, 7u);
    EXPECT_EQ(watchdog.timeoutSeconds, 60);
    EXPECT_EQ(watchdog.running, leaveArmed);
    EXPECT_THAT(result.out, ContainsRegex(kIsoTime));
    EXPECT_THAT(result.out,
                HasSubstr("card 1 (serial 0x0000004D584F0B02): watchdog armed with a timeout of "
                          "1 min, petting every 0.1 s; Ctrl+C stops\n"));
    EXPECT_THAT(result.out, HasSubstr(": petted " + std::to_string(pets) + " times; " +
                                      (leaveArmed ? "watchdog left armed" : "watchdog stopped")));
    merloxctl::ClearInterrupt();
  }
}

TEST_F(MerloxctlTest, KeepaliveReportsAPetThatFailedAndTheCardItLost) {
  const std::vector<int> cards = PlugTwoCards();
  Background keepalive({"wdg", "keepalive", "0", "--interval", "100ms", "--json"});
  ASSERT_TRUE(keepalive.WaitForOutput("\"armed\":true"));
  driver().Unplug(cards[0]);
  // The loop ends by itself on the failed pet; the interrupt only covers a loop that did not.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const Result result = keepalive.Stop();
  EXPECT_EQ(result.code, 1);
  EXPECT_THAT(result.err, HasSubstr("\"operation\":\"wdg keepalive: pet\""));
  EXPECT_THAT(result.err, HasSubstr("\"status\":1617"));
  std::istringstream lines(result.out);
  std::string first, last;
  std::getline(lines, first);
  std::getline(lines, last);
  EXPECT_EQ(nlohmann::json::parse(last)["pets"], 0);
  EXPECT_EQ(nlohmann::json::parse(last)["watchdog"], "stop failed");
}

TEST_F(MerloxctlTest, WatchEnablesWatchdogEventsAndStampsEachLine) {
  const std::vector<int> cards = PlugTwoCards();
  ASSERT_EQ(WDG_Start(1), 0u);
  Background watch({"watch", "1"});
  ASSERT_TRUE(driver().WaitForPendingReads(cards[1], 2, 5000));
  EXPECT_TRUE(WatchdogOf(cards[1]).eventsEnabled);
  EXPECT_FALSE(WatchdogOf(cards[0]).eventsEnabled) << "a card not watched was touched";
  driver().SetInputs(cards[1], 0x05);
  driver().AdvanceClock(11000);  // the watchdog runs out
  ASSERT_TRUE(watch.WaitForOutput("watchdog ran out"));
  ASSERT_TRUE(watch.WaitForOutput("inputs 7..0"));
  const Result result = watch.Stop();
  EXPECT_EQ(result.code, 0) << result.err;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_THAT(line + " ", ContainsRegex(kIsoTime));
  }
  EXPECT_THAT(result.out,
              HasSubstr("Z card 1 (serial 0x0000004D584F0B02): watchdog events enabled\n"));
  EXPECT_THAT(result.out, HasSubstr("inputs 7..0 00000101 (changed 00000101)"));
  EXPECT_THAT(result.out, HasSubstr("Z stopped\n"));
}

TEST_F(MerloxctlTest, ArmReactionWarnsAndReactsToTheEventWhileItRuns) {
  const std::vector<int> cards = PlugTwoCards();
  ASSERT_EQ(WDG_Start(0), 0u);
  Background reaction({"wdg", "arm-reaction", "0", "restart", "--yes"});
  ASSERT_TRUE(driver().WaitForPendingReads(cards[0], 1, 5000));
  driver().AdvanceClock(11000);
  ASSERT_TRUE(system().WaitForExitRequests(1, 5000));
  EXPECT_EQ(system().ExitRequests()[0].flags, 2u);  // restart
  const Result result = reaction.Stop();
  EXPECT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.err,
            "merloxctl: warning: when this card's watchdog runs out, Windows will be "
            "restarted\n");
  EXPECT_THAT(result.out, HasSubstr("reaction \"restart\" armed"));
  EXPECT_THAT(result.out, HasSubstr("reaction disarmed"));
}

}  // namespace
}  // namespace merlox::test
