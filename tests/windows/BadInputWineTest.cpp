// Bad input to the shipped MERLOX.dll under Wine: card numbers at and beyond the
// edges of int32_t, and null, unmapped and read-only output pointers. Each gives
// its documented status, sends nothing, and the process goes on.
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "MerloxDll.h"

namespace merlox::test {
namespace {

class BadInputWineTest : public SimulatedCardsTest {
 protected:
  void SetUp() override {
    SimulatedCardsTest::SetUp();
    noAccess_ = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    readOnly_ = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY);
    ASSERT_NE(noAccess_, nullptr);
    ASSERT_NE(readOnly_, nullptr);
  }
  void TearDown() override {
    VirtualFree(noAccess_, 0, MEM_RELEASE);
    VirtualFree(readOnly_, 0, MEM_RELEASE);
    SimulatedCardsTest::TearDown();
  }

  // Operations of the form f(card) and f(card, T*), resolved by name.
  using CardOnly = uint32_t(MERLOX_API*)(int32_t);
  template <class T>
  using CardAndPointer = uint32_t(MERLOX_API*)(int32_t, T*);

  struct Op {
    std::string name;
    std::function<uint32_t(int32_t, void*)> call;
  };

  template <class T>
  Op WithPointer(const char* name) {
    const auto f = dll().Function<CardAndPointer<T>>(name);
    EXPECT_NE(f, nullptr) << name;
    return {name, [f](int32_t c, void* p) { return f(c, static_cast<T*>(p)); }};
  }
  Op CardOnlyOp(const char* name) {
    const auto f = dll().Function<CardOnly>(name);
    EXPECT_NE(f, nullptr) << name;
    return {name, [f](int32_t c, void*) { return f(c); }};
  }

  std::vector<Op> PointerOps() {
    return {WithPointer<double>("WDG_SetTimeout"),    WithPointer<double>("WDG_SetResetDuration"),
            WithPointer<int32_t>("WDG_ReadStatus"),   WithPointer<uint8_t>("DO_ReadbackAll"),
            WithPointer<uint8_t>("DI_ReadAll"),       WithPointer<uint8_t>("DI_PeekAll"),
            WithPointer<TSensorRecord>("AI_ReadAll"), WithPointer<uint16_t>("DI_ReadTimestamp"),
            WithPointer<double>("WDG_ReadTemp")};
  }

  void* noAccess_ = nullptr;
  void* readOnly_ = nullptr;
};

TEST_F(BadInputWineTest, CardNumbersAtTheEdgesAndUnusablePointers) {
  PlugCards(2);
  std::vector<Op> ops = PointerOps();
  for (const char* name :
       {"MERLOX_ResetChip", "WDGInit", "WDG_Pet", "WDG_Start", "WDG_Stop", "WDG_WaitForEvent",
        "WDG_AbortEventRequest", "AI_Enable", "AI_Disable", "DI_AbortCOSRequest"}) {
    ops.push_back(CardOnlyOp(name));
  }
  ASSERT_FALSE(HasFailure());
  driver().ClearRequests();

  double value = 30000;
  const int32_t outside[] = {INT32_MIN, INT32_MIN + 1, -4, -1, 32, INT32_MAX};
  for (const Op& op : ops) {
    SCOPED_TRACE(op.name);
    for (int32_t cardNum : outside) EXPECT_EQ(op.call(cardNum, &value), 1413u) << cardNum;
    EXPECT_EQ(op.call(31, &value), 2u);
    EXPECT_EQ(op.call(MERLOX_ONLY_OPEN_CARD, &value), 52u);
  }
  EXPECT_TRUE(driver().Requests().empty()) << "a request went out for a bad card number";

  for (const Op& op : PointerOps()) {
    SCOPED_TRACE(op.name);
    for (void* p : {static_cast<void*>(nullptr), noAccess_, readOnly_}) {
      EXPECT_EQ(op.call(0, p), 998u) << p;
    }
  }
  EXPECT_TRUE(ControlRequests().empty()) << "a request went out for an unusable pointer";

  // The card is still there and answers.
  int32_t status = -1;
  EXPECT_EQ(dll().Function<CardAndPointer<int32_t>>("WDG_ReadStatus")(0, &status), 0u);
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace merlox::test
