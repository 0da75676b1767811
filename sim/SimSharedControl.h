// Driving a shared simulator from another process (merloxctl sim): its cards,
// their inputs, sensors and time, and what it has recorded. Each call returns a
// merloxsim.h status, or kSimulatorGone when the simulator did not answer.
#pragma once

#include <cstdint>
#include <vector>

#include "SimEventLog.h"
#include "SimRemoteClient.h"

namespace merlox::sim {

struct SharedCardState {
  int32_t card = -1;
  bool plugged = false;
  uint32_t openHandles = 0;  // of every process
  uint64_t serialNumber = 0;
  bool running = false;
  uint32_t timeoutSeconds = 0;
  uint32_t pets = 0;
  uint32_t hostResets = 0;
  uint64_t millisecondsLeft = 0;
};

class SharedControl {
 public:
  explicit SharedControl(RemoteClient& client) : client_(client) {}

  uint32_t Plug(uint32_t productId, int32_t* card);
  uint32_t Unplug(int32_t card);
  uint32_t Replug(int32_t card, int32_t* newCard);
  uint32_t SetInputs(int32_t card, uint32_t inputs);
  // In the order of TSensorRecord: temperature, humidity, analog inputs 0..3.
  uint32_t SetSensorCounts(int32_t card, const uint16_t counts[6]);
  uint32_t SetSerialNumber(int32_t card, uint64_t serialNumber);
  uint32_t ExpireWatchdog(int32_t card);
  uint32_t AdvanceClock(uint64_t milliseconds);
  uint32_t State(std::vector<SharedCardState>* cards);
  uint32_t Log(std::vector<SimEvent>* events);

 private:
  // The reply's payload after its status, which *status receives.
  std::optional<std::vector<uint8_t>> Call(wire::Kind kind, const wire::Writer& request,
                                           uint32_t* status);

  RemoteClient& client_;
};

}  // namespace merlox::sim
