// The state file and the journal: what survives a restart, what a bad file does
// (nothing but a report), the journal's bound, and the runs the boot-loop rule counts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Evidence.h"

namespace merloxd {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class EvidenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("merloxd-evidence-" + std::to_string(getpid()));
    fs::create_directories(folder_);
  }
  void TearDown() override {
    fs::permissions(folder_, fs::perms::owner_all);
    fs::remove_all(folder_);
  }
  std::string Path(const char* name) const { return (folder_ / name).string(); }

  fs::path folder_;
};

TEST_F(EvidenceTest, TheStateSurvivesARestartWhole) {
  GuardState state;
  state.armed = true;
  state.lastFeed = 1765454400;
  state.acted = "disk failing past its grace";
  state.started = 1765450000;
  state.badRuns = {1765440000};
  ASSERT_EQ(SaveState(Path("state.json"), state), "");
  EXPECT_FALSE(fs::exists(Path("state.json.new"))) << "the new file was put in place";
  const LoadedState loaded = LoadState(Path("state.json"));
  ASSERT_TRUE(loaded.state) << loaded.problem;
  EXPECT_TRUE(loaded.state->armed);
  EXPECT_EQ(loaded.state->lastFeed, state.lastFeed);
  EXPECT_EQ(loaded.state->acted, state.acted);
  EXPECT_FALSE(loaded.state->cleanStop);
  EXPECT_EQ(loaded.state->started, state.started);
  EXPECT_EQ(loaded.state->badRuns, state.badRuns);
}

TEST_F(EvidenceTest, ABadStateFileIsReportedNotFatal) {
  const struct {
    const char* name;
    std::string contents;
    const char* problem;
  } cases[] = {
      {"truncated", "{\"armed\": tr", "corrupt"},
      {"wrong types",
       R"({"armed":1,"clean_stop":true,"started":0,"bad_runs":[],"last_feed":null,"acted":null})",
       "corrupt"},
      {"missing keys", "{}", "corrupt"},
      {"huge", std::string(100000, ' '), "not a state file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(Path("state.json"), std::ios::trunc) << c.contents;
    const LoadedState loaded = LoadState(Path("state.json"));
    EXPECT_FALSE(loaded.state);
    EXPECT_THAT(loaded.problem, HasSubstr(c.problem));
    // And it is replaced by the next write.
    EXPECT_EQ(SaveState(Path("state.json"), GuardState{}), "");
    EXPECT_TRUE(LoadState(Path("state.json")).state);
  }
  fs::remove(Path("state.json"));
  EXPECT_EQ(LoadState(Path("state.json")).problem, "") << "no file is the first run, no problem";
  if (geteuid() != 0) {  // root writes anywhere
    fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THAT(SaveState(Path("state.json"), GuardState{}), HasSubstr("cannot be written"));
  }
  EXPECT_THAT(SaveState((folder_ / "no" / "such" / "state.json").string(), GuardState{}),
              HasSubstr("cannot be written"));
}

TEST_F(EvidenceTest, HowThePreviousRunEnded) {
  GuardState run;
  run.started = 1765454400;  // 2025-12-11T12:00:00Z
  EXPECT_EQ(DescribePreviousRun(std::nullopt), "no earlier run on record");
  run.cleanStop = true;
  EXPECT_EQ(DescribePreviousRun(run), "the run that began 2025-12-11T12:00:00Z stopped cleanly");
  run.cleanStop = false;
  run.armed = true;
  run.lastFeed = 1765454460;
  EXPECT_EQ(DescribePreviousRun(run),
            "the run that began 2025-12-11T12:00:00Z ended with the card armed and no clean stop "
            "(last feed 2025-12-11T12:01:00Z)");
  run.acted = "app failing past its grace";
  EXPECT_EQ(DescribePreviousRun(run),
            "the run that began 2025-12-11T12:00:00Z ended with the guard acting: app failing "
            "past its grace");
}

TEST_F(EvidenceTest, TheBootLoopCountsRunsThatEndedBadlyWithinTheWindow) {
  const int64_t now = 1765454400;
  const Milliseconds hour(3600000);
  GuardState previous;
  previous.started = now - 600;
  previous.badRuns = {now - 7200, now - 1800, now - 900};  // the first is out of the window
  previous.armed = true;  // and never stopped cleanly: it counts too
  EXPECT_THAT(BadRunsWithin(previous, now, hour), ElementsAre(now - 1800, now - 900, now - 600));
  previous.cleanStop = true;
  EXPECT_THAT(BadRunsWithin(previous, now, hour), ElementsAre(now - 1800, now - 900));
  previous.acted = "app failing";
  EXPECT_EQ(BadRunsWithin(previous, now, hour).size(), 3u);
  EXPECT_TRUE(BadRunsWithin(std::nullopt, now, hour).empty());
}

TEST_F(EvidenceTest, TheJournalKeepsItsBound) {
  Journal journal(Path("journal.jsonl"), 1000);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(journal.Append({{"decision", "feed"}, {"n", i}}), "");
  }
  EXPECT_LE(fs::file_size(Path("journal.jsonl")), 1000u);
  EXPECT_LE(fs::file_size(Path("journal.jsonl.1")), 1000u);
  // The newest entry is the last line of the journal.
  std::ifstream file(Path("journal.jsonl"));
  std::string line, last;
  while (std::getline(file, line)) last = line;
  EXPECT_EQ(nlohmann::json::parse(last)["n"], 99);
}

}  // namespace
}  // namespace merloxd
