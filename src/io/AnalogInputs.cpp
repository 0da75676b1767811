// The analog inputs with the temperature and humidity sensor, and the speaker. The
// card reports all six measurements as raw counts in its input status record; the
// library converts them. The analog switch and the speaker share request 0x40 with
// the watchdog, told apart by the index.
#include "io/AnalogInputs.h"

#include "exports/ExportBoundary.h"
#include "io/InputStatus.h"
#include "io/SensorRecord.h"
#include "merlox.h"
#include "platform/CallerMemory.h"
#include "registry/CoreExports.h"
#include "transport/ControlTransfer.h"

namespace merlox {
namespace {

constexpr uint8_t kAnalogRequest = 0x40;
constexpr uint16_t kAnalogSwitchIndex = 0xFF01;
// The enabling that the first read sends, and the close sends again: a different
// index from the switch of AI_Enable.
constexpr uint16_t kAnalogEnableIndex = 0x0001;
constexpr uint16_t kSpeakerOffIndex = 0x8000;
constexpr uint16_t kSpeakerOnIndex = 0x8001;
constexpr int32_t kMaxSpeakerFrequency = 0xFEFF;
constexpr uint32_t kSensorRecordLength = 21;

DWORD SwitchAnalogInputs(int32_t cardNum, uint16_t on) {
  CardRef card;
  const DWORD status = CheckCard(cardNum, card);
  if (status != ERROR_SUCCESS) return status;
  return ControlOut(card, kAnalogRequest, on, kAnalogSwitchIndex, 0, nullptr);
}

// The card measures its analog inputs only once they are enabled. The first read
// of each card does that; a failed enabling is not reported and is tried again by
// the next read. The mark names the card, so a card that takes the slot later
// starts unmarked, and the close switches back only the card the library enabled.
void EnableAnalogInputsOnce(const CardRef& card) {
  std::atomic<uint32_t>& enabled = Slot(card.index).AIEnabledGeneration;
  if (enabled.load() == card.generation) return;
  if (ControlOut(card, kAnalogRequest, 1, kAnalogEnableIndex, 0, nullptr) == ERROR_SUCCESS) {
    enabled.store(card.generation);
  }
}

DWORD ReadCardSensors(const CardRef& card, TSensorRecord& values) {
  EnableAnalogInputsOnce(card);
  TInputStatus record;
  const DWORD status = ReadInputStatus(card, kPeekInputs, kSensorRecordLength, record);
  if (status != ERROR_SUCCESS) return status;
  ConvertSensorRecord(&values, &record.Sensors);
  return ERROR_SUCCESS;
}

DWORD ReadAllAnalog(int32_t cardNum, TSensorRecord* pValues) {
  CardRef card;
  const DWORD status = CheckCard(cardNum, card);
  if (status != ERROR_SUCCESS) return status;
  if (!WriteCaller(pValues, TSensorRecord{})) return ERROR_NOACCESS;
  TSensorRecord values;
  const DWORD read = ReadCardSensors(card, values);
  if (read != ERROR_SUCCESS) return read;
  return WriteCaller(pValues, values) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

// The output is cleared first, then the channel is tested before the card is
// looked at.
DWORD CheckAnalogChannel(uint32_t channel, double* pValue) {
  if (!WriteCaller(pValue, 0.0)) return ERROR_NOACCESS;
  return static_cast<uint8_t>(channel) >= kSensorValues ? ERROR_INVALID_INDEX : ERROR_SUCCESS;
}

DWORD ReadOneAnalog(int32_t cardNum, uint32_t channel, double* pValue) {
  TSensorRecord values;
  const DWORD status = ReadSensors(cardNum, values);
  if (status != ERROR_SUCCESS) return status;
  const double value = SensorValue(values, static_cast<uint8_t>(channel));
  return WriteCaller(pValue, value) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

// The range comes first: nothing else is tested and nothing is sent.
DWORD CheckFrequency(int32_t frequency) {
  return frequency < 0 || frequency > kMaxSpeakerFrequency ? ERROR_INVALID_PARAMETER
                                                           : ERROR_SUCCESS;
}

DWORD SetSpeakerFrequency(int32_t cardNum, int32_t frequency) {
  CardRef card;
  const DWORD status = CheckCard(cardNum, card);
  if (status != ERROR_SUCCESS) return status;
  const uint16_t index = frequency == 0 ? kSpeakerOffIndex : kSpeakerOnIndex;
  return ControlOut(card, kAnalogRequest, static_cast<uint16_t>(frequency), index, 0, nullptr);
}

}  // namespace

DWORD ReadSensors(int32_t cardNum, TSensorRecord& values) {
  values = TSensorRecord{};
  CardRef card;
  const DWORD status = CheckCard(cardNum, card);
  return status != ERROR_SUCCESS ? status : ReadCardSensors(card, values);
}

}  // namespace merlox

using namespace merlox;

extern "C" uint32_t MERLOX_API AI_Enable(int32_t CardNum) {
  return ExportStatus([&] { return SwitchAnalogInputs(CardNum, 1); });
}

extern "C" uint32_t MERLOX_API AI_Disable(int32_t CardNum) {
  return ExportStatus([&] { return SwitchAnalogInputs(CardNum, 0); });
}

extern "C" uint32_t MERLOX_API AI_ReadAll(int32_t CardNum, TSensorRecord* pValues) {
  return ExportStatus([&] { return ReadAllAnalog(CardNum, pValues); });
}

extern "C" uint32_t MERLOX_API AI_Read1(int32_t CardNum, uint32_t Channel, double* pValue) {
  return ExportStatus([&] { return CheckAnalogChannel(Channel, pValue); },
                      [&] { return ReadOneAnalog(CardNum, Channel, pValue); });
}

extern "C" uint32_t MERLOX_API Speaker_SetFreq(int32_t CardNum, int32_t Frequency) {
  return ExportStatus([&] { return CheckFrequency(Frequency); },
                      [&] { return SetSpeakerFrequency(CardNum, Frequency); });
}
