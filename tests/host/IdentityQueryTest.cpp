// The identity queries: product ID, base address, name and serial number, the
// look-up by serial number, and the unsupported EEPROM operations.
#include <cctype>
#include <cstring>
#include <string>

#include "LibraryFixture.h"

namespace merlox::test {
namespace {

using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr uint64_t kNoSerial = ~uint64_t{0};

class IdentityQueryTest : public LibraryTest {
 protected:
  // Plugs an accepted card with this name and serial number and registers it.
  int PlugNamed(std::u16string name, uint64_t serial = 0x1234, uint16_t productId = 0x8080) {
    const int card = driver().Plug({productId, 0x0001, "", std::move(name), serial});
    GetNumCards();
    return card;
  }

  void Reply(int card, std::vector<uint8_t> data, std::optional<DWORD> count = std::nullopt) {
    driver().InjectFault(sim::Fault::Reply(card, std::move(data), count));
  }

  // A name buffer of 80 bytes filled with '#', so that every byte the call did not
  // write shows.
  struct NameBuffer {
    char bytes[80];
    NameBuffer() { std::memset(bytes, '#', sizeof(bytes)); }
    std::string Written(size_t n) const { return std::string(bytes, n); }
    size_t Untouched() const {
      size_t n = 0;
      for (size_t i = sizeof(bytes); i > 0 && bytes[i - 1] == '#'; --i) ++n;
      return n;
    }
  };
};

TEST_F(IdentityQueryTest, QueryCardInfoAnswersForTheCardASelectorResolvesTo) {
  std::vector<int> cards;
  for (int i = 0; i < 8; ++i) {
    const std::u16string name = u"CARD-00" + std::u16string(1, char16_t(u'0' + i));
    cards.push_back(driver().Plug({i == 3 ? uint16_t{0x8081} : uint16_t{0x8080}, 1, "", name}));
  }
  GetNumCards();
  for (int slot : {0, 1, 2, 4, 5, 6}) ASSERT_EQ(MERLOX_CloseCard(slot), 0u);
  driver().ClearRequests();

  uint32_t pid = 0;
  int32_t base = -1;
  uint32_t nameSize = 64;
  NameBuffer name;
  EXPECT_EQ(QueryCardInfo(MERLOX_LOWEST_OPEN_CARD, &pid, &base, &nameSize, name.bytes), 0u);
  EXPECT_EQ(pid, 0x8081u);
  EXPECT_EQ(base, 48);
  EXPECT_EQ(nameSize, 8u);
  EXPECT_EQ(name.Written(9), std::string("CARD-003\0", 9));
  // Only the name was read, and from the card in slot 3.
  const auto requests = ControlRequests();
  ASSERT_THAT(requests, SizeIs(1));
  EXPECT_EQ(requests[0].card, cards[3]);

  EXPECT_EQ(QueryCardInfo(MERLOX_ONLY_OPEN_CARD, &pid, &base, &nameSize, name.bytes),
            MERLOX_STATUS_DUP_NAME);
  EXPECT_EQ(QueryCardInfo(7, nullptr, &base, nullptr, nullptr), 0u);
  EXPECT_EQ(base, 112);
}

TEST_F(IdentityQueryTest, QueryCardInfoWithoutPointersWritesAndSendsNothing) {
  PlugCards(1);
  driver().ClearRequests();
  EXPECT_EQ(QueryCardInfo(0, nullptr, nullptr, nullptr, nullptr), 0u);
  EXPECT_THAT(driver().Requests(), IsEmpty());
  EXPECT_EQ(QueryCardInfo(1, nullptr, nullptr, nullptr, nullptr), MERLOX_STATUS_FILE_NOT_FOUND);
}

TEST_F(IdentityQueryTest, AQueryOfAnEmptySlotLooksForNewCardsFirst) {
  const int first = PlugCards(1)[0];
  driver().Plug({0x8081, 1, ""});
  uint32_t pid = 0;
  EXPECT_EQ(QueryCardID(1, &pid), 0u);
  EXPECT_EQ(pid, 0x8081u);

  // A new card lands in the lowest free slot, which need not be the one asked for.
  driver().Unplug(first);
  ASSERT_EQ(MERLOX_CloseCard(0), 0u);
  driver().Plug({0x8080, 1, ""});
  pid = 7;
  EXPECT_EQ(QueryCardID(5, &pid), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_EQ(pid, 7u);
  ASSERT_EQ(SlotState(0), State::kOpen);
  EXPECT_EQ(QueryCardID(0, &pid), 0u);
  EXPECT_EQ(pid, 0x8080u);
}

TEST_F(IdentityQueryTest, QueryCardIdChecksTheCardBeforeItsPointer) {
  const int removed = PlugCards(2)[1];
  driver().Unplug(removed);
  ASSERT_EQ(Poke(1), MERLOX_STATUS_DEVICE_REMOVED);
  NoAccessPage page;

  EXPECT_EQ(QueryCardID(0, nullptr), MERLOX_STATUS_INVALID_ACCESS);
  EXPECT_EQ(QueryCardID(4, nullptr), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_EQ(QueryCardID(1, nullptr), MERLOX_STATUS_DEVICE_REMOVED);
  EXPECT_EQ(QueryCardID(32, nullptr), MERLOX_STATUS_INVALID_INDEX);
  // The query guards its body: a pointer that faults is an internal error.
  EXPECT_EQ(QueryCardID(0, page.as<uint32_t>()), MERLOX_STATUS_INTERNAL_ERROR);
  int32_t base = 0;
  EXPECT_EQ(QueryCardInfo(0, nullptr, page.as<int32_t>(), nullptr, nullptr),
            MERLOX_STATUS_INTERNAL_ERROR);
  EXPECT_EQ(QueryCardInfo(1, nullptr, &base, nullptr, nullptr), MERLOX_STATUS_DEVICE_REMOVED);
}

struct NameCase {
  uint32_t capacity;
  std::string written;  // the bytes the caller's buffer receives
  uint16_t requested;   // the request's length
};

class QueryCardNameTest : public IdentityQueryTest,
                          public ::testing::WithParamInterface<NameCase> {};

TEST_P(QueryCardNameTest, WritesWhatFitsAndReportsTheWholeLength) {
  const NameCase& c = GetParam();
  const int card = PlugNamed(u"MERLOX-8");
  driver().ClearRequests();
  uint32_t size = c.capacity;
  NameBuffer name;
  EXPECT_EQ(QueryCardName(0, &size, name.bytes), 0u);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(name.Written(c.written.size()), c.written);
  EXPECT_EQ(name.Untouched(), sizeof(name.bytes) - c.written.size());
  const auto requests = ControlRequests(card);
  ASSERT_THAT(requests, SizeIs(1));
  EXPECT_EQ(requests[0].Setup(), (sim::SetupPacket{0xC0, 6, 0x0302, 0, c.requested}));
}

INSTANTIATE_TEST_SUITE_P(Capacities, QueryCardNameTest,
                         ::testing::Values(NameCase{64, std::string("MERLOX-8\0", 9), 130},
                                           NameCase{9, std::string("MERLOX-8\0", 9), 20},
                                           NameCase{8, "MERLOX-8", 18}, NameCase{4, "MERL", 10},
                                           NameCase{1, "M", 4}, NameCase{0, "", 2}));

TEST_F(IdentityQueryTest, ANullNameAsksForTheLengthAlone) {
  PlugNamed(u"MERLOX-8");
  driver().ClearRequests();
  uint32_t size = 0;
  EXPECT_EQ(QueryCardName(0, &size, nullptr), 0u);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(ControlRequests().at(0).Setup().wLength, 2);
}

// Capacities whose request would not fit a transfer's 16-bit length, or whose
// buffer size would overflow 32 bits, ask for as much as fits and still deliver
// the whole name.
TEST_F(IdentityQueryTest, HugeCapacitiesAskForTheLargestTransfer) {
  PlugNamed(u"MERLOX-8");
  for (uint32_t capacity : {32766u, 32767u, 65535u, 0x7FFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
    SCOPED_TRACE(capacity);
    driver().ClearRequests();
    uint32_t size = capacity;
    NameBuffer name;
    EXPECT_EQ(QueryCardName(0, &size, name.bytes), 0u);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(name.Written(9), std::string("MERLOX-8\0", 9));
    EXPECT_EQ(name.Untouched(), sizeof(name.bytes) - 9);
    const auto request = ControlRequests().at(0);
    EXPECT_EQ(request.Setup().wLength, 65534);
    EXPECT_EQ(request.inputSize, 38u + 65534u);
  }
}

TEST_F(IdentityQueryTest, TheNameArrivesInTheAnsiCodePage) {
  // The host stand-in's code page is Latin-1: U+00E9 is one byte, the euro sign
  // has none and becomes '?'.
  PlugNamed(u"T\u00e9mp \u20ac");
  uint32_t size = 64;
  NameBuffer name;
  EXPECT_EQ(QueryCardName(0, &size, name.bytes), 0u);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(name.Written(7), std::string("T\xe9mp ?\0", 7));
}

struct ReplyCase {
  const char* what;
  std::vector<uint8_t> reply;
  uint32_t capacity;
  uint32_t length;      // what *pNameSize reports
  std::string written;  // what the buffer receives
};

class NameReplyTest : public IdentityQueryTest, public ::testing::WithParamInterface<ReplyCase> {};

// The length comes from the descriptor's first byte; characters the card did not
// send read as NULs rather than as whatever memory held, and nothing beyond the
// capacity is ever written.
TEST_P(NameReplyTest, TheLengthByteDecidesAndMissingCharactersAreNul) {
  const ReplyCase& c = GetParam();
  const int card = PlugNamed(u"MERLOX-8");
  Reply(card, c.reply);
  uint32_t size = c.capacity;
  NameBuffer name;
  EXPECT_EQ(QueryCardName(0, &size, name.bytes), 0u);
  EXPECT_EQ(size, c.length);
  EXPECT_EQ(name.Written(c.written.size()), c.written);
  EXPECT_EQ(name.Untouched(), sizeof(name.bytes) - c.written.size());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, NameReplyTest,
    ::testing::Values(
        ReplyCase{"nothing", {}, 64, 0, ""}, ReplyCase{"one byte", {1}, 64, 0, ""},
        ReplyCase{"length byte 0", {0, 3, 'A', 0}, 64, 0, ""},
        ReplyCase{"empty name", {2, 3}, 64, 0, std::string(1, '\0')},
        ReplyCase{"claims 8, sends 1", {18, 3, 'A', 0}, 64, 8, std::string("A\0\0\0\0\0\0\0\0", 9)},
        ReplyCase{"claims 1, sends 2", {4, 3, 'A', 0, 'B', 0}, 64, 1, std::string("A\0", 2)},
        ReplyCase{
            "claims the most", {255, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0, 'E', 0}, 4, 126, "ABCD"}),
    [](const ::testing::TestParamInfo<ReplyCase>& param) {
      std::string name;
      for (const char* p = param.param.what; *p; ++p) name += std::isalnum(*p) ? *p : '_';
      return name;
    });

TEST_F(IdentityQueryTest, AFailedNameReadChangesNothingAndKeepsTheCard) {
  const int card = PlugNamed(u"MERLOX-8");
  driver().InjectFault(sim::Fault::Fail(card, ERROR_DEVICE_NOT_CONNECTED));
  uint32_t size = 64;
  NameBuffer name;
  EXPECT_EQ(QueryCardName(0, &size, name.bytes), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(name.Untouched(), sizeof(name.bytes));
  EXPECT_EQ(SlotState(0), State::kOpen);
}

TEST_F(IdentityQueryTest, QueryCardNamePointers) {
  PlugNamed(u"MERLOX-8");
  NoAccessPage page;
  uint32_t size = 64;
  EXPECT_EQ(QueryCardName(0, nullptr, nullptr), MERLOX_STATUS_INVALID_ACCESS);
  EXPECT_EQ(QueryCardName(3, nullptr, nullptr), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_EQ(QueryCardName(0, page.as<uint32_t>(), nullptr), MERLOX_STATUS_INTERNAL_ERROR);
  EXPECT_EQ(QueryCardName(0, &size, page.as<char>()), MERLOX_STATUS_INTERNAL_ERROR);
  // Through QueryCardInfo, the name's statuses are passed on.
  EXPECT_EQ(QueryCardInfo(0, nullptr, nullptr, &size, page.as<char>()),
            MERLOX_STATUS_INTERNAL_ERROR);
}

struct SerialCase {
  uint64_t stored;
  uint64_t reported;
  uint32_t status;
};

class SerialNumberTest : public IdentityQueryTest,
                         public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialNumberTest, ReportsTheStoredNumberOrNone) {
  const SerialCase& c = GetParam();
  const int card = PlugNamed(u"MERLOX-8", c.stored);
  driver().ClearRequests();
  uint64_t serial = 0;
  EXPECT_EQ(QueryCardSerialNumber(0, &serial), c.status);
  EXPECT_EQ(serial, c.reported);
  const auto requests = ControlRequests(card);
  ASSERT_THAT(requests, SizeIs(1));
  EXPECT_EQ(requests[0].Setup(), (sim::SetupPacket{0xC0, 0xA2, 0x1DF8, 0, 8}));
}

INSTANTIATE_TEST_SUITE_P(
    Serials, SerialNumberTest,
    ::testing::Values(SerialCase{0x0123456789ABCDEFull, 0x0123456789ABCDEFull, 0},
                      SerialCase{1, 1, 0},
                      SerialCase{0x8000000000000000ull, 0x8000000000000000ull, 0},
                      SerialCase{0, kNoSerial, MERLOX_STATUS_NOT_SUPPORTED},
                      SerialCase{kNoSerial, kNoSerial, MERLOX_STATUS_NOT_SUPPORTED}));

TEST_F(IdentityQueryTest, QueryCardSerialNumberRunsNoDiscovery) {
  PlugCards(1);
  driver().Plug();
  driver().ClearRequests();
  uint64_t serial = 5;
  EXPECT_EQ(QueryCardSerialNumber(1, &serial), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_EQ(QueryCardSerialNumber(-1, &serial), MERLOX_STATUS_INVALID_INDEX);
  EXPECT_EQ(serial, 5u);
  EXPECT_THAT(driver().Requests(), IsEmpty());
  EXPECT_EQ(SlotState(1), State::kFree);
}

struct SerialFailure {
  DWORD lastError;
  uint32_t status;
  bool staysOpen;
};

class SerialFailureTest : public IdentityQueryTest,
                          public ::testing::WithParamInterface<SerialFailure> {};

// Unlike the other reads, a failed serial-number read notices a vanished card.
TEST_P(SerialFailureTest, AFailedReadIsTranslated) {
  const SerialFailure& c = GetParam();
  const int card = PlugCards(1)[0];
  driver().InjectFault(sim::Fault::Fail(card, c.lastError));
  uint64_t serial = 5;
  EXPECT_EQ(QueryCardSerialNumber(0, &serial), c.status);
  EXPECT_EQ(serial, 5u);
  EXPECT_EQ(SlotState(0), c.staysOpen ? State::kOpen : State::kRemoved);
}

INSTANTIATE_TEST_SUITE_P(Errors, SerialFailureTest,
                         ::testing::Values(SerialFailure{ERROR_DEVICE_NOT_CONNECTED, 1617, false},
                                           SerialFailure{ERROR_INVALID_HANDLE, 1617, false},
                                           SerialFailure{ERROR_ACCESS_DENIED, 5, true},
                                           SerialFailure{0, MERLOX_STATUS_GEN_FAILURE, true}));

// A reply of the wrong size leaves no error of its own. Whatever the thread's
// last-error value happens to hold, even a code of a vanished card, must not close
// a card that answered.
TEST_F(IdentityQueryTest, AWrongSizedSerialReplyFailsButKeepsTheCard) {
  const int card = PlugCards(1)[0];
  for (std::vector<uint8_t> reply : {std::vector<uint8_t>{}, std::vector<uint8_t>{1, 2, 3, 4}}) {
    Reply(card, reply);
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    uint64_t serial = 5;
    EXPECT_EQ(QueryCardSerialNumber(0, &serial), MERLOX_STATUS_GEN_FAILURE);
    EXPECT_EQ(serial, 5u);
    EXPECT_EQ(SlotState(0), State::kOpen);
  }
}

TEST_F(IdentityQueryTest, AnUnusableSerialPointerGivesNoAccess) {
  PlugCards(1);
  NoAccessPage page;
  EXPECT_EQ(QueryCardSerialNumber(0, nullptr), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(QueryCardSerialNumber(0, page.as<uint64_t>()), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(SlotState(0), State::kOpen);
}

TEST_F(IdentityQueryTest, GetCardBySerialNumberFindsTheLowestMatch) {
  EXPECT_EQ(GetCardBySerialNumber(0x1234), -1);
  PlugNamed(u"A", 0xA);
  PlugNamed(u"B", 0);
  PlugNamed(u"C", 0xC);
  PlugNamed(u"D", 0xC);
  EXPECT_EQ(GetCardBySerialNumber(0xA), 0);
  EXPECT_EQ(GetCardBySerialNumber(0xC), 2);
  EXPECT_EQ(GetCardBySerialNumber(0xB), -1);
  // "No serial number" matches nothing, not even the card that has none.
  EXPECT_EQ(GetCardBySerialNumber(0), -1);
  EXPECT_EQ(GetCardBySerialNumber(kNoSerial), -1);
}

TEST_F(IdentityQueryTest, GetCardBySerialNumberClosesVanishedCardsOnTheWay) {
  const int gone = PlugNamed(u"A", 0xA);
  PlugNamed(u"B", 0xB);
  driver().Unplug(gone);
  EXPECT_EQ(GetCardBySerialNumber(0xB), 1);
  EXPECT_EQ(SlotState(0), State::kRemoved);
}

TEST_F(IdentityQueryTest, TheEepromOperationsAreNotSupported) {
  PlugCards(1);
  driver().ClearRequests();
  SetLastError(0);
  EXPECT_EQ(GetCardByEEPROMByte(), -1);
  EXPECT_EQ(GetLastError(), MERLOX_STATUS_NOT_SUPPORTED);
  SetLastError(0);
  EXPECT_EQ(GetCardByEEPROMData(), -1);
  EXPECT_EQ(GetLastError(), MERLOX_STATUS_NOT_SUPPORTED);
  EXPECT_EQ(CustomEEPROMRead(), MERLOX_STATUS_NOT_SUPPORTED);
  EXPECT_EQ(CustomEEPROMWrite(), MERLOX_STATUS_NOT_SUPPORTED);
  EXPECT_THAT(driver().Requests(), IsEmpty());
}

}  // namespace
}  // namespace merlox::test
