// What the Event Log gets of the journal: the fixed IDs, their severities, and the
// insertion strings each text expects.
#include "EventIds.h"

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace merloxd {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(EventIdsTest, JournalEntriesBecomeTheirEvents) {
  const struct {
    std::string event;
    nlohmann::json fields;
    EventId id;
    std::vector<std::string> strings;
  } cases[] = {
      {"check_failing",
       {{"check", "db"}, {"detail", "refused"}},
       kEventCheckFailed,
       {"db", "refused"}},
      {"check_recovered",
       {{"check", "db"}, {"detail", "open"}},
       kEventCheckRecovered,
       {"db", "open"}},
      {"repair",
       {{"check", "db"}, {"command", "net start db"}},
       kEventRepairRun,
       {"db", "net start db"}},
      {"acted",
       {{"action", "reboot"}, {"why", "db failing"}},
       kEventActionTaken,
       {"reboot", "TEXT"}},
      {"would_act", {{"action", "reset"}}, kEventActionTaken, {"dry run, would reset", "TEXT"}},
      {"safe_mode", {{"bad_runs", 3}}, kEventSafeMode, {"3"}},
      {"card_lost", {{"status", 1167}}, kEventCardLost, {"TEXT"}},
      {"card_missing", {}, kEventCardLost, {"TEXT"}},
      {"card_found", {{"card", 2}}, kEventCardBack, {"TEXT"}},
      {"paused",
       {{"duration_ms", 1800000}, {"reason", "disk swap"}},
       kEventPaused,
       {"30 min", "disk swap"}},
      {"resumed", {}, kEventResumed, {"TEXT"}},
      {"stopped", {{"armed", false}}, kEventStopped, {"TEXT"}},
      {"shutdown", {{"timeout_ms", 600000}}, kEventShutdown, {"TEXT"}},
      {"state_file_replaced", {{"problem", "not JSON"}}, kEventProblem, {"TEXT"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.event);
    const auto entries = EventsFor(c.event, c.fields, "TEXT");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].id, c.id);
    EXPECT_EQ(entries[0].strings, c.strings);
    EXPECT_EQ(entries[0].strings.size(), KindOf(c.id).strings) << "as many as its text uses";
  }
  for (const char* chatty : {"decision", "armed", "repair_ended", "anything"}) {
    EXPECT_THAT(EventsFor(chatty, {}, "TEXT"), IsEmpty()) << chatty;
  }
}

TEST(EventIdsTest, AStartAfterAnUncleanRunIsTwoEvents) {
  const nlohmann::json clean = {
      {"card", "card 0"}, {"previous_run", "stopped cleanly"}, {"previous_run_clean", true}};
  auto entries = EventsFor("started", clean, "TEXT");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_THAT(entries[0].strings, ElementsAre("card 0", "stopped cleanly"));

  nlohmann::json unclean = clean;
  unclean["previous_run"] = "ended with the card armed and no clean stop";
  unclean["previous_run_clean"] = false;
  entries = EventsFor("started", unclean, "TEXT");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].id, kEventPreviousRunUnclean);
  EXPECT_THAT(entries[1].strings, ElementsAre("ended with the card armed and no clean stop"));
}

TEST(EventIdsTest, MessageIdsCarryTheSeverityInTheirTopBits) {
  EXPECT_EQ(MessageId(kEventStarted), 0x40000001u);
  EXPECT_EQ(MessageId(kEventCheckFailed), 0x80000004u);
  EXPECT_EQ(MessageId(kEventActionTaken), 0xC0000007u);
  for (size_t i = 0; i < kEventKinds.size(); ++i) EXPECT_EQ(kEventKinds[i].id, i + 1);
}

}  // namespace
}  // namespace merloxd
