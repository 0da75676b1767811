// The simulated driver's request log switch, which the benchmark relies on to keep
// the simulator's own copying out of its figures.
#include "LibraryFixture.h"

namespace merlox::test {
namespace {

class RequestLogTest : public LibraryTest {};

TEST_F(RequestLogTest, AnUnloggedRequestIsServedAndCountedButNotKept) {
  const std::vector<int> cards = PlugCards(1);
  driver().WithCard(cards[0], [](sim::Card& card) { card.SetInputs(0x5A); });
  driver().ClearRequests();
  driver().SetRequestLog(false);
  const uint64_t before = driver().RequestCount();
  uint8_t inputs = 0;
  ASSERT_EQ(DI_ReadAll(0, &inputs), 0u);
  ASSERT_EQ(Poke(0), 0u);
  EXPECT_EQ(driver().RequestCount() - before, 2u);
  EXPECT_THAT(driver().Requests(), ::testing::IsEmpty());
  // The card still answered.
  EXPECT_EQ(inputs, 0x5A);

  driver().SetRequestLog(true);
  ASSERT_EQ(Poke(0), 0u);
  ASSERT_EQ(driver().Requests().size(), 1u);
  EXPECT_EQ(driver().Requests()[0].Setup().bRequest, 0xA0);
  EXPECT_EQ(driver().RequestCount() - before, 3u);
}

TEST_F(RequestLogTest, ResetSwitchesTheLogBackOn) {
  driver().SetRequestLog(false);
  driver().Reset();
  PlugCards(1);
  ASSERT_EQ(Poke(0), 0u);
  EXPECT_FALSE(driver().Requests().empty());
}

TEST_F(RequestLogTest, FailedRequestsAreCountedToo) {
  const std::vector<int> cards = PlugCards(1);
  driver().SetRequestLog(false);
  driver().InjectFault(sim::Fault::Fail(cards[0], ERROR_GEN_FAILURE));
  const uint64_t before = driver().RequestCount();
  EXPECT_EQ(Poke(0), ERROR_GEN_FAILURE);
  EXPECT_EQ(driver().RequestCount() - before, 1u);
}

}  // namespace
}  // namespace merlox::test
