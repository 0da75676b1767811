#include "SimSharedControl.h"

#include "SimRemoteDriver.h"

namespace merlox::sim {

using wire::Kind;
using wire::Reader;
using wire::Writer;

std::optional<std::vector<uint8_t>> SharedControl::Call(Kind kind, const Writer& request,
                                                        uint32_t* status) {
  auto payload = client_.Call(kind, request.payload());
  if (!payload || payload->size() < 4) {
    *status = kSimulatorGone;
    return std::nullopt;
  }
  Reader reader(*payload);
  *status = reader.U32();
  return std::vector<uint8_t>(payload->begin() + 4, payload->end());
}

namespace {

// A request whose reply is its status alone.
uint32_t StatusOf(uint32_t status, const std::optional<std::vector<uint8_t>>& rest) {
  return rest && !rest->empty() && status == 0 ? kSimulatorGone : status;
}

// A reply of the status and one card id.
uint32_t CardOf(uint32_t status, const std::optional<std::vector<uint8_t>>& rest, int32_t* card) {
  if (!rest || status != 0) return status;
  Reader reader(*rest);
  const auto id = static_cast<int32_t>(reader.U32());
  if (!reader.ok()) return kSimulatorGone;
  *card = id;
  return 0;
}

}  // namespace

uint32_t SharedControl::Plug(uint32_t productId, int32_t* card) {
  Writer request;
  request.U32(productId);
  uint32_t status = 0;
  const auto rest = Call(Kind::kPlug, request, &status);
  return CardOf(status, rest, card);
}

uint32_t SharedControl::Unplug(int32_t card) {
  Writer request;
  request.U32(static_cast<uint32_t>(card));
  uint32_t status = 0;
  const auto rest = Call(Kind::kUnplug, request, &status);
  return StatusOf(status, rest);
}

uint32_t SharedControl::Replug(int32_t card, int32_t* newCard) {
  Writer request;
  request.U32(static_cast<uint32_t>(card));
  uint32_t status = 0;
  const auto rest = Call(Kind::kReplug, request, &status);
  return CardOf(status, rest, newCard);
}

uint32_t SharedControl::SetInputs(int32_t card, uint32_t inputs) {
  Writer request;
  request.U32(static_cast<uint32_t>(card)).U32(inputs);
  uint32_t status = 0;
  const auto rest = Call(Kind::kSetInputs, request, &status);
  return StatusOf(status, rest);
}

uint32_t SharedControl::SetSensorCounts(int32_t card, const uint16_t counts[6]) {
  Writer request;
  request.U32(static_cast<uint32_t>(card));
  for (int i = 0; i < 6; ++i) request.U16(counts[i]);
  uint32_t status = 0;
  const auto rest = Call(Kind::kSetSensors, request, &status);
  return StatusOf(status, rest);
}

uint32_t SharedControl::SetSerialNumber(int32_t card, uint64_t serialNumber) {
  Writer request;
  request.U32(static_cast<uint32_t>(card)).U64(serialNumber);
  uint32_t status = 0;
  const auto rest = Call(Kind::kSetSerial, request, &status);
  return StatusOf(status, rest);
}

uint32_t SharedControl::ExpireWatchdog(int32_t card) {
  Writer request;
  request.U32(static_cast<uint32_t>(card));
  uint32_t status = 0;
  const auto rest = Call(Kind::kExpire, request, &status);
  return StatusOf(status, rest);
}

uint32_t SharedControl::AdvanceClock(uint64_t milliseconds) {
  Writer request;
  request.U64(milliseconds);
  uint32_t status = 0;
  const auto rest = Call(Kind::kAdvance, request, &status);
  return StatusOf(status, rest);
}

uint32_t SharedControl::State(std::vector<SharedCardState>* cards) {
  uint32_t status = 0;
  const auto rest = Call(Kind::kState, Writer(), &status);
  if (!rest || status != 0) return status;
  Reader reader(*rest);
  const uint32_t count = reader.U32();
  std::vector<SharedCardState> states;
  // A count beyond what the payload holds ends the loop failed, not allocating.
  for (uint32_t i = 0; i < count && i < 4096; ++i) {
    SharedCardState card;
    card.card = static_cast<int32_t>(reader.U32());
    card.plugged = reader.U8() != 0;
    card.openHandles = reader.U32();
    card.serialNumber = reader.U64();
    card.running = reader.U8() != 0;
    card.timeoutSeconds = reader.U32();
    card.pets = reader.U32();
    card.hostResets = reader.U32();
    card.millisecondsLeft = reader.U64();
    states.push_back(card);
  }
  if (!reader.ok()) return kSimulatorGone;
  *cards = std::move(states);
  return 0;
}

uint32_t SharedControl::Log(std::vector<SimEvent>* events) {
  uint32_t status = 0;
  const auto rest = Call(Kind::kLog, Writer(), &status);
  if (!rest || status != 0) return status;
  Reader reader(*rest);
  const uint32_t count = reader.U32();
  std::vector<SimEvent> read;
  for (uint32_t i = 0; i < count && i < EventLog::kKept; ++i) {
    SimEvent event;
    event.kind = static_cast<SimEvent::Kind>(reader.U8());
    event.uptimeMilliseconds = reader.U64();
    event.unixMilliseconds = reader.U64();
    event.card = static_cast<int32_t>(reader.U32());
    event.flags = reader.U32();
    event.reason = reader.U32();
    event.text = reader.String();
    read.push_back(std::move(event));
  }
  if (!reader.ok()) return kSimulatorGone;
  *events = std::move(read);
  return 0;
}

}  // namespace merlox::sim
