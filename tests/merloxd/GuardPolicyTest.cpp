// The guard's decision on made-up times: grace, startup grace, pause and safe mode,
// repairs that help or do not, and the action, which is final.
#include <gtest/gtest.h>

#include "GuardPolicy.h"

namespace merloxd {
namespace {

const TimePoint kStart = TimePoint() + std::chrono::hours(1);

TimePoint At(int seconds) { return kStart + std::chrono::seconds(seconds); }

CheckState Healthy(const std::string& name, int answeredAt = 0) {
  CheckState check;
  check.name = name;
  check.lastResult = At(answeredAt);
  return check;
}

CheckState Failing(const std::string& name, int since, int graceSeconds, int answeredAt) {
  CheckState check;
  check.name = name;
  check.healthy = false;
  check.failingSince = At(since);
  check.grace = std::chrono::seconds(graceSeconds);
  check.lastResult = At(answeredAt);
  return check;
}

PolicySettings Settings(int startupGraceSeconds = 0, std::optional<unsigned> repairs = {}) {
  return {kStart, std::chrono::seconds(startupGraceSeconds), repairs};
}

TEST(GuardPolicyTest, FeedsWhileFailuresStayWithinTheirGraceThenActsOnTheLongestFailing) {
  const struct {
    const char* name;
    int now;
    std::vector<CheckState> checks;
    Verdict verdict;
    std::optional<std::string> check;
  } cases[] = {
      {"all healthy", 50, {Healthy("a"), Healthy("b")}, Verdict::kFeed, std::nullopt},
      {"within grace", 50, {Healthy("a"), Failing("b", 30, 30, 50)}, Verdict::kFeed, "b"},
      {"grace just over", 60, {Healthy("a"), Failing("b", 30, 30, 60)}, Verdict::kAct, "b"},
      {"no grace", 30, {Failing("a", 30, 0, 30)}, Verdict::kAct, "a"},
      {"the longest failing past grace",
       100,
       {Failing("a", 80, 0, 100), Failing("b", 20, 10, 100)},
       Verdict::kAct,
       "b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GuardPolicy policy(Settings());
    const Decision decision = policy.Decide(At(c.now), c.checks, false, false);
    EXPECT_EQ(decision.verdict, c.verdict) << decision.why;
    EXPECT_EQ(decision.check, c.check);
  }
}

TEST(GuardPolicyTest, FailuresDuringTheStartupGraceCountFromItsEnd) {
  GuardPolicy policy(Settings(120));
  const std::vector<CheckState> checks = {Failing("app", 0, 30, 140)};
  EXPECT_EQ(policy.Decide(At(100), checks, false, false).why,
            "app failing, within the startup grace");
  EXPECT_EQ(policy.Decide(At(140), checks, false, false).verdict, Verdict::kFeed);
  EXPECT_EQ(policy.Decide(At(150), checks, false, false).verdict, Verdict::kAct);
}

TEST(GuardPolicyTest, PauseAndSafeModeFeedWhateverTheChecksSay) {
  GuardPolicy policy(Settings());
  const std::vector<CheckState> broken = {Failing("a", 0, 0, 100)};
  EXPECT_EQ(policy.Decide(At(100), broken, true, false).why, "paused");
  EXPECT_EQ(policy.Decide(At(100), broken, false, true).verdict, Verdict::kFeed);
  EXPECT_EQ(policy.Decide(At(101), broken, false, false).verdict, Verdict::kAct);
  // Acting is final: neither a pause nor recovered checks bring the feeding back.
  EXPECT_EQ(policy.Decide(At(102), broken, true, false).verdict, Verdict::kAct);
  EXPECT_EQ(policy.Decide(At(103), {Healthy("a", 103)}, false, false).verdict, Verdict::kAct);
  EXPECT_TRUE(policy.acted());
}

TEST(GuardPolicyTest, ARepairThatHelpsClearsTheCount) {
  GuardPolicy policy(Settings(0, 2));
  const Decision repair = policy.Decide(At(10), {Failing("svc", 0, 5, 10)}, false, false);
  EXPECT_EQ(repair.verdict, Verdict::kRepair);
  EXPECT_EQ(repair.why, "svc failing past its grace: repair 1 of 2");
  // Fed while it runs, whatever the checks say.
  EXPECT_EQ(policy.Decide(At(20), {Failing("svc", 0, 5, 20)}, false, false).why, "repair running");
  policy.RepairEnded(At(25));
  // Not judged on what the check said before the repair ended.
  EXPECT_EQ(policy.Decide(At(26), {Failing("svc", 0, 5, 24)}, false, false).why,
            "checking again after the repair");
  EXPECT_EQ(policy.Decide(At(30), {Healthy("svc", 30)}, false, false).why, "all healthy");
  EXPECT_EQ(policy.repairs(), 0u);
  // A later failure gets its repairs afresh.
  EXPECT_EQ(policy.Decide(At(100), {Failing("svc", 90, 5, 100)}, false, false).why,
            "svc failing past its grace: repair 1 of 2");
}

TEST(GuardPolicyTest, RepairsThatDoNotHelpEndInTheAction) {
  GuardPolicy policy(Settings(0, 2));
  int now = 10;
  for (unsigned repair = 1; repair <= 2; ++repair) {
    SCOPED_TRACE(repair);
    EXPECT_EQ(policy.Decide(At(now), {Failing("svc", 0, 5, now)}, false, false).verdict,
              Verdict::kRepair);
    policy.RepairEnded(At(now + 5));
    now += 10;
  }
  const Decision decision = policy.Decide(At(now), {Failing("svc", 0, 5, now)}, false, false);
  EXPECT_EQ(decision.verdict, Verdict::kAct);
  EXPECT_EQ(decision.why, "svc failing past its grace after 2 repairs");
}

}  // namespace
}  // namespace merloxd
