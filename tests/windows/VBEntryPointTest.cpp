// The VB entry points of the operations whose arguments do not all fit in
// registers: the fifth and sixth arguments travel on the stack, where a forwarder
// that narrowed or reordered them would show. Each is called with values whose
// every bit matters, under all of its names, and must do exactly what the plain
// name does: same status, same outputs, same bytes sent to the card.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "MerloxDll.h"

namespace merlox::test {
namespace {

struct Effect {
  uint32_t status = 0;
  std::vector<uint64_t> values;                // what the call wrote to its outputs
  std::vector<std::vector<uint8_t>> requests;  // the input buffers the driver received
  bool operator==(const Effect&) const = default;
};

void PrintTo(const Effect& effect, std::ostream* os) {
  *os << "{ status " << effect.status << ", values";
  for (uint64_t value : effect.values) *os << " " << value;
  *os << ", " << effect.requests.size() << " requests }";
}

class VBEntryPointTest : public SimulatedCardsTest {
 protected:
  struct Operation {
    const char* what;
    std::vector<std::string> names;  // the plain name first
    std::function<uint32_t(const std::string& name, Effect&)> call;
    std::function<void(const Effect&)> checkPlain;
  };

  Effect Run(const Operation& operation, const std::string& name) {
    driver().ClearRequests();
    Effect effect;
    effect.status = operation.call(name, effect);
    for (const sim::RequestRecord& request : driver().Requests()) {
      effect.requests.push_back(request.input);
    }
    return effect;
  }

  void ExpectSameEffect(const Operation& operation) {
    SCOPED_TRACE(operation.what);
    const Effect plain = Run(operation, operation.names[0]);
    operation.checkPlain(plain);
    for (const std::string& name : operation.names) {
      EXPECT_EQ(Run(operation, name), plain) << name << " differs from " << operation.names[0];
    }
  }

  template <class F>
  F Get(const std::string& name) {
    F function = dll().Function<F>(name.c_str());
    EXPECT_NE(function, nullptr) << name << " is not exported";
    return function;
  }
};

TEST_F(VBEntryPointTest, QueryCardInfoForwardsItsStackArguments) {
  PlugCards(2);
  ExpectSameEffect({"card info",
                    {"QueryCardInfo", "_QueryCardInfo", "VBQueryCardInfo"},
                    [&](const std::string& name, Effect& effect) {
                      uint32_t pid = 0xA5A5A5A5;
                      int32_t base = 0x5A5A5A5A;
                      uint32_t nameSize = 6;
                      char text[8];
                      std::memset(text, 0x7E, sizeof(text));
                      const uint32_t status =
                          Get<decltype(&::QueryCardInfo)>(name)(1, &pid, &base, &nameSize, text);
                      effect.values = {pid, static_cast<uint32_t>(base), nameSize};
                      for (char c : text) effect.values.push_back(static_cast<uint8_t>(c));
                      return status;
                    },
                    [](const Effect& plain) {
                      EXPECT_EQ(plain.status, 0u);
                      ASSERT_GE(plain.values.size(), 3u);
                      EXPECT_EQ(plain.values[0], 0x8080u);
                      EXPECT_EQ(plain.values[1], 16u) << "card 1 sits at base 16";
                      EXPECT_EQ(plain.requests.size(), 1u) << "one name request";
                    }});
}

TEST_F(VBEntryPointTest, GenericBulkTransfersForwardTheirStackArguments) {
  const int card = PlugCards(1)[0];
  const std::vector<uint8_t> packet = {0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39};
  ExpectSameEffect({"bulk read",
                    {"MERLOX_GenericBulkIn", "_MERLOX_GenericBulkIn", "KTB_GenericBulkIn",
                     "_KTB_GenericBulkIn", "VBMERLOX_GenericBulkIn", "VBKTB_GenericBulkIn",
                     "MERLOX_GenericBulkOut", "VBMERLOX_GenericBulkOut", "VBKTB_GenericBulkOut"},
                    [&](const std::string& name, Effect& effect) {
                      driver().SendPacket(card, 0x82, packet);
                      uint8_t buffer[12];
                      std::memset(buffer, 0xEE, sizeof(buffer));
                      uint32_t count = 0xDEADBEEF;
                      // Only the low 8 bits of the pipe argument name the pipe; the length
                      // stops one byte short of the buffer, which must stay untouched there.
                      const uint32_t status = Get<decltype(&::MERLOX_GenericBulkIn)>(name)(
                          MERLOX_LOWEST_OPEN_CARD, 0x7FFFFF82, buffer, 11, &count);
                      effect.values = {count};
                      effect.values.insert(effect.values.end(), buffer, buffer + sizeof(buffer));
                      return status;
                    },
                    [&](const Effect& plain) {
                      EXPECT_EQ(plain.status, 0u);
                      ASSERT_EQ(plain.values.size(), 13u);
                      EXPECT_EQ(plain.values[0], packet.size());
                      EXPECT_EQ(plain.values[1], 0x31u);
                      EXPECT_EQ(plain.values[12], 0xEEu);
                      ASSERT_EQ(plain.requests.size(), 1u);
                      EXPECT_EQ(plain.requests[0].size(), 38u);
                      EXPECT_EQ(plain.requests[0][13], 0x82);
                    }});
}

TEST_F(VBEntryPointTest, ChangeOfStateWaitsForwardTheirStackArguments) {
  const int card = PlugCards(1)[0];
  std::vector<uint8_t> packet(40);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(0x40 + i);
  ExpectSameEffect(
      {"change-of-state wait",
       {"DI_WaitForCOSMulti", "_DI_WaitForCOSMulti", "WaitForCOSMulti", "_WaitForCOSMulti",
        "VBDI_WaitForCOSMulti", "VBWaitForCOSMulti"},
       [&](const std::string& name, Effect& effect) {
         driver().SendPacket(card, 0x88, packet);
         uint32_t timestamp = 0xFFFFFFFF;
         uint8_t data[9];
         std::memset(data, 0xEE, sizeof(data));
         TSensorRecord values;
         std::memset(&values, 0xEE, sizeof(values));
         // A length of 8 stops one byte short of the buffer, which must stay untouched.
         const uint32_t status = Get<decltype(&::DI_WaitForCOSMulti)>(name)(
             MERLOX_ONLY_OPEN_CARD, &timestamp, 8, data, &values);
         effect.values = {timestamp};
         effect.values.insert(effect.values.end(), data, data + sizeof(data));
         uint64_t bits[6];
         std::memcpy(bits, &values, sizeof(bits));
         effect.values.insert(effect.values.end(), bits, bits + 6);
         return status;
       },
       [&](const Effect& plain) {
         EXPECT_EQ(plain.status, 0u);
         ASSERT_EQ(plain.values.size(), 16u);
         EXPECT_EQ(plain.values[0], 0x4342u) << "bytes 2 and 3, low byte first";
         const std::vector<uint64_t> selected(plain.values.begin() + 1, plain.values.begin() + 10);
         EXPECT_EQ(selected, (std::vector<uint64_t>{packet[6], packet[21], packet[24], packet[26],
                                                    packet[7], packet[8], packet[5], 0, 0xEE}));
         EXPECT_NE(plain.values[10], 0xEEEEEEEEEEEEEEEEu) << "sensor values written";
       }});
}

}  // namespace
}  // namespace merlox::test
