// The shared simulator's side of merloxctl sim: plugging, inputs, sensors, time,
// and what the cards and the log hold. Every reply starts with a merloxsim.h
// status.
#include <stdexcept>

#include "SimDriver.h"
#include "SimServer.h"
#include "merloxsim.h"

namespace merlox::sim {
namespace {

using wire::Writer;

std::vector<uint8_t> Status(uint32_t status) {
  Writer out;
  out.U32(status);
  return out.payload();
}

// Runs f on a card the simulator knows; 87 for an unknown id.
template <class F>
uint32_t OnKnownCard(int32_t card, F f) {
  try {
    Driver::Instance().WithCard(card, [&](Card& firmware) {
      f(firmware);
      return 0;
    });
    return MERLOXSIM_STATUS_SUCCESS;
  } catch (const std::out_of_range&) {
    return MERLOXSIM_STATUS_INVALID_PARAMETER;
  }
}

void WriteCardState(Writer& out, int card) {
  Driver& driver = Driver::Instance();
  out.U32(static_cast<uint32_t>(card)).U8(driver.IsPlugged(card) ? 1 : 0);
  out.U32(static_cast<uint32_t>(driver.OpenHandles(card)));
  driver.WithCard(card, [&](Card& firmware) {
    const Card::Watchdog& watchdog = firmware.watchdog();
    out.U64(firmware.serialNumber()).U8(watchdog.running ? 1 : 0);
    out.U32(watchdog.timeoutSeconds).U32(watchdog.pets).U32(watchdog.hostResets);
    out.U64(firmware.MillisecondsLeft());
    return 0;
  });
}

}  // namespace

std::optional<std::vector<uint8_t>> Server::AnswerControlCall(wire::Kind kind, wire::Reader& in) {
  Driver& driver = Driver::Instance();
  switch (kind) {
    case wire::Kind::kPlug: {
      const uint32_t productId = in.U32();
      if (!in.ok()) return std::nullopt;
      if (productId > 0xFFFF) return Status(MERLOXSIM_STATUS_INVALID_PARAMETER);
      const int card = PlugCard(static_cast<uint16_t>(productId));
      std::vector<uint8_t> reply = Status(MERLOXSIM_STATUS_SUCCESS);
      Writer tail;
      tail.U32(static_cast<uint32_t>(card));
      reply.insert(reply.end(), tail.payload().begin(), tail.payload().end());
      return reply;
    }
    case wire::Kind::kUnplug:
    case wire::Kind::kReplug: {
      const auto card = static_cast<int32_t>(in.U32());
      if (!in.ok()) return std::nullopt;
      if (!KnowsCard(card)) return Status(MERLOXSIM_STATUS_INVALID_PARAMETER);
      Writer out;
      out.U32(MERLOXSIM_STATUS_SUCCESS);
      if (kind == wire::Kind::kUnplug) {
        driver.Unplug(card);
      } else {
        const int replugged = driver.Replug(card);
        Adopt(replugged);
        out.U32(static_cast<uint32_t>(replugged));
      }
      return out.payload();
    }
    case wire::Kind::kSetInputs: {
      const auto card = static_cast<int32_t>(in.U32());
      const uint32_t inputs = in.U32();
      if (!in.ok()) return std::nullopt;
      if (!KnowsCard(card) || inputs > 0xFF) return Status(MERLOXSIM_STATUS_INVALID_PARAMETER);
      // Through the driver, so that a change sends the card's change-of-state packet.
      driver.SetInputs(card, static_cast<uint8_t>(inputs));
      return Status(MERLOXSIM_STATUS_SUCCESS);
    }
    case wire::Kind::kSetSensors: {
      const auto card = static_cast<int32_t>(in.U32());
      uint16_t counts[6];
      for (uint16_t& count : counts) count = in.U16();
      if (!in.ok()) return std::nullopt;
      if (!KnowsCard(card)) return Status(MERLOXSIM_STATUS_INVALID_PARAMETER);
      return Status(OnKnownCard(card, [&](Card& firmware) {
        for (int i = 0; i < 6; ++i) {
          firmware.SetSensorCount(static_cast<SensorCount>(i), counts[i]);
        }
      }));
    }
    case wire::Kind::kSetSerial: {
      const auto card = static_cast<int32_t>(in.U32());
      const uint64_t serial = in.U64();
      if (!in.ok()) return std::nullopt;
      if (!KnowsCard(card)) return Status(MERLOXSIM_STATUS_INVALID_PARAMETER);
      return Status(OnKnownCard(card, [&](Card& firmware) { firmware.SetSerialNumber(serial); }));
    }
    case wire::Kind::kExpire: {
      const auto card = static_cast<int32_t>(in.U32());
      if (!in.ok()) return std::nullopt;
      if (!KnowsCard(card)) return Status(MERLOXSIM_STATUS_INVALID_PARAMETER);
      const bool expired = driver.ExpireWatchdog(card);
      NoteHostResets();
      return Status(expired ? MERLOXSIM_STATUS_SUCCESS : MERLOXSIM_STATUS_NOT_RUNNING);
    }
    case wire::Kind::kAdvance: {
      const uint64_t milliseconds = in.U64();
      if (!in.ok()) return std::nullopt;
      driver.AdvanceClock(milliseconds);
      NoteHostResets();
      return Status(MERLOXSIM_STATUS_SUCCESS);
    }
    case wire::Kind::kState: {
      if (!in.ok()) return std::nullopt;
      const std::vector<int> cards = KnownCards();
      Writer out;
      out.U32(MERLOXSIM_STATUS_SUCCESS).U32(static_cast<uint32_t>(cards.size()));
      for (const int card : cards) WriteCardState(out, card);
      return out.payload();
    }
    case wire::Kind::kLog: {
      if (!in.ok()) return std::nullopt;
      const std::vector<SimEvent> events = events_.Events();
      Writer out;
      out.U32(MERLOXSIM_STATUS_SUCCESS).U32(static_cast<uint32_t>(events.size()));
      for (const SimEvent& event : events) {
        out.U8(static_cast<uint8_t>(event.kind)).U64(event.uptimeMilliseconds);
        out.U64(event.unixMilliseconds).U32(static_cast<uint32_t>(event.card));
        out.U32(event.flags).U32(event.reason).String(event.text);
      }
      return out.payload();
    }
    default:
      return std::nullopt;
  }
}

}  // namespace merlox::sim
