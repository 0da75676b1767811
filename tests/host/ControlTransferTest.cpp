// The request block of control transfers, the generic vendor requests and the
// controller reset, down to the bytes the driver receives.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "LibraryFixture.h"
#include "HexBytes.h"

namespace merlox::test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::SizeIs;

class ControlTransferTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    card_ = PlugCards(1)[0];
    driver().ClearRequests();
  }

  void Reply(std::vector<uint8_t> data, std::optional<DWORD> bytesReturned = std::nullopt) {
    driver().InjectFault(sim::Fault::Reply(card_, std::move(data), bytesReturned));
  }

  int card_ = 0;
};

TEST_F(ControlTransferTest, ResetChipHoldsThenReleasesTheController) {
  EXPECT_EQ(MERLOX_ResetChip(0), 0u);
  const auto requests = ControlRequests();
  ASSERT_THAT(requests, SizeIs(2));
  // One byte of data to the controller's control register: 1 holds it, 0 releases it.
  const std::string writeControlRegister =
      "40 A0 00 E6 00 00 01 00 2A 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
      " 26 00 00 00 01 00 00 00";
  EXPECT_THAT(requests[0].input, ElementsAreArray(Hex((writeControlRegister + " 01").c_str())));
  EXPECT_THAT(requests[1].input, ElementsAreArray(Hex((writeControlRegister + " 00").c_str())));
  for (const auto& request : requests) {
    EXPECT_EQ(request.inputSize, 39u);
    EXPECT_EQ(request.outputSize, 39u);
    EXPECT_TRUE(request.sameBuffer);
  }
  EXPECT_EQ(driver().WithCard(card_, [](sim::Card& c) { return c.ControllerRestarts(); }), 1u);
}

TEST_F(ControlTransferTest, ResetChipStopsAfterAFailedFirstWrite) {
  driver().InjectFault(sim::Fault::Fail(card_, 5));
  EXPECT_EQ(MERLOX_ResetChip(0), 5u);
  EXPECT_THAT(ControlRequests(), SizeIs(1));
}

TEST_F(ControlTransferTest, AnEmptyWriteSendsTheBareHeader) {
  Reply({});
  EXPECT_EQ(MERLOX_GenericVendorWrite(0, 0x40, 0x1234, 0x50, 0, nullptr), 0u);
  const auto requests = ControlRequests();
  ASSERT_THAT(requests, SizeIs(1));
  EXPECT_THAT(requests[0].input,
              ElementsAreArray(Hex("40 40 34 12 50 00 00 00 2A 00 00 00 00 00 00 00 00 00 00 00 00 "
                                   "00 00 00 00 00 00 00 00 00 26 00 00 00 00 00 00 00")));
  EXPECT_EQ(requests[0].outputSize, 38u);
}

TEST_F(ControlTransferTest, OnlyTheLowBitsOfRequestValueAndIndexAreSent) {
  Reply({});
  EXPECT_EQ(MERLOX_GenericVendorWrite(0, 0x1FF, 0xABCD1234, 0xFFFF0050, 0, nullptr), 0u);
  const sim::SetupPacket setup = ControlRequests().at(0).Setup();
  EXPECT_EQ(setup.bRequest, 0xFF);
  EXPECT_EQ(setup.wValue, 0x1234);
  EXPECT_EQ(setup.wIndex, 0x0050);
}

TEST_F(ControlTransferTest, AReadCarriesTheCallersBufferAndReceivesTheReply) {
  Reply({9, 8, 7});
  uint8_t buffer[5] = {1, 2, 3, 4, 5};
  uint32_t length = sizeof(buffer);
  EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 1, 0, &length, buffer), 0u);
  EXPECT_EQ(length, 3u);
  EXPECT_THAT(buffer, ElementsAreArray({9, 8, 7, 4, 5}));
  const auto request = ControlRequests().at(0);
  EXPECT_EQ(request.Setup().bmRequestType, 0xC0);
  EXPECT_EQ(request.Setup().wLength, 5);
  EXPECT_THAT(request.Data(), ElementsAreArray({1, 2, 3, 4, 5}));
}

TEST_F(ControlTransferTest, TheReplyCountDecidesWhatIsDelivered) {
  struct Case {
    const char* what;
    std::vector<uint8_t> reply;
    std::optional<DWORD> bytesReturned;
    uint32_t length;
    std::vector<uint8_t> buffer;
  };
  const Case cases[] = {
      {"header only", {1, 2}, 38, 0, {0xEE, 0xEE, 0xEE, 0xEE}},
      {"less than a header", {1, 2}, 7, 0, {0xEE, 0xEE, 0xEE, 0xEE}},
      {"more than asked for", {1, 2, 3, 4}, 38 + 100, 4, {1, 2, 3, 4}},
      {"short reply", {1, 2}, std::nullopt, 2, {1, 2, 0xEE, 0xEE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reply(c.reply, c.bytesReturned);
    std::vector<uint8_t> buffer(4, 0xEE);
    uint32_t length = 4;
    EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, buffer.data()), 0u);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(buffer, c.buffer);
  }
}

TEST_F(ControlTransferTest, LengthsBeyond16BitsKeepEveryDataByte) {
  for (uint32_t length : {65536u, 65537u}) {
    SCOPED_TRACE(length);
    driver().ClearRequests();
    std::vector<uint8_t> data(length, 0x5A);
    EXPECT_EQ(MERLOX_GenericVendorWrite(0, 0x77, 0, 0x50, length, data.data()), 31u)
        << "the card stalls a request it does not know";
    const auto request = ControlRequests().at(0);
    EXPECT_EQ(request.Setup().wLength, length & 0xFFFF);
    EXPECT_EQ(request.inputSize, 38 + length);
    EXPECT_EQ(request.Data().size(), length);
  }
}

TEST_F(ControlTransferTest, AVanishedCardFailsReadsButClosesOnWrites) {
  driver().Unplug(card_);
  uint8_t buffer[4] = {};
  uint32_t length = 4;
  EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, buffer), 1167u);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(SlotState(0), State::kOpen) << "a failed read does not close the card";

  EXPECT_EQ(Poke(0), 1617u);
  EXPECT_EQ(SlotState(0), State::kRemoved);
  const size_t sent = ControlRequests().size();
  EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, buffer), 1617u);
  EXPECT_THAT(ControlRequests(), SizeIs(sent)) << "the card check stops the next call";
}

TEST_F(ControlTransferTest, AFailureWithoutAnErrorNumberIsGeneralFailure) {
  uint8_t buffer[4] = {};
  uint32_t length = 4;
  driver().InjectFault(sim::Fault::Fail(card_, 0));
  EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, buffer), 31u);
  driver().InjectFault(sim::Fault::Fail(card_, 0));
  EXPECT_EQ(Poke(0), 31u);
  EXPECT_EQ(SlotState(0), State::kOpen);
}

TEST_F(ControlTransferTest, AnInvalidCardLeavesTheLengthAlone) {
  uint32_t length = 77;
  EXPECT_EQ(MERLOX_GenericVendorRead(5, 0x10, 0, 0, &length, nullptr), 2u);
  EXPECT_EQ(MERLOX_GenericVendorRead(-7, 0x10, 0, 0, &length, nullptr), 1413u);
  EXPECT_EQ(length, 77u);
  EXPECT_THAT(ControlRequests(), SizeIs(0));
}

TEST_F(ControlTransferTest, BadCallerMemoryGivesNoAccess) {
  NoAccessPage noAccess;
  ReadOnlyPage readOnly;
  uint8_t buffer[4] = {};
  uint32_t length = 4;

  EXPECT_EQ(MERLOX_GenericVendorWrite(0, 0x40, 0, 0x50, 4, noAccess.as<void>()), 998u);
  EXPECT_EQ(MERLOX_GenericVendorWrite(0, 0x40, 0, 0x50, 4, nullptr), 998u);
  EXPECT_EQ(
      MERLOX_GenericVendorRead(0, 0x10, 0, 0, static_cast<uint32_t*>(noAccess.as<void>()), buffer),
      998u);
  EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, noAccess.as<void>()), 998u);
  EXPECT_THAT(ControlRequests(), SizeIs(0)) << "nothing is sent when the data cannot be read";

  // The reply cannot be written back: the count has been updated already.
  Reply({1, 2, 3});
  length = 4;
  EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, readOnly.as<void>()), 998u);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(SlotState(0), State::kOpen);
}

TEST_F(ControlTransferTest, LengthsTheDriverCannotTakeAreRefused) {
  uint32_t length = 0xFFFFFFFFu - 37;
  EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, nullptr), 87u);
  EXPECT_EQ(MERLOX_GenericVendorWrite(0, 0x40, 0, 0x50, 0xFFFFFFFFu, nullptr), 87u);
  EXPECT_THAT(ControlRequests(), SizeIs(0));
}

TEST_F(ControlTransferTest, SelectorsReachTheCardBehindThem) {
  EXPECT_EQ(Poke(kOnlyOpenCard), 0u);
  EXPECT_EQ(MERLOX_ResetChip(kLowestOpenCard), 0u);
  EXPECT_THAT(ControlRequests(card_), SizeIs(3));
}

}  // namespace
}  // namespace merlox::test
