// The analog inputs with the temperature and humidity sensor, and the speaker. The
// card reports all six measurements as raw counts in its input status record; the
// library converts them. The analog switch and the speaker share request 0x40 with
// the watchdog, told apart by the index.
#include "io/InputStatus.h"
#include "io/SensorRecord.h"
#include "merlox.h"
#include "platform/CallerMemory.h"
#include "registry/CoreExports.h"

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

DWORD SwitchAnalogInputs(int32_t card, uint16_t on) {
  try {
    return MERLOX_GenericVendorWrite(card, kAnalogRequest, on, kAnalogSwitchIndex, 0, nullptr);
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

}  // namespace
}  // namespace merlox

using namespace merlox;

extern "C" uint32_t MERLOX_API AI_Enable(int32_t CardNum) {
  EnterLibrary();
  return SwitchAnalogInputs(CardNum, 1);
}

extern "C" uint32_t MERLOX_API AI_Disable(int32_t CardNum) {
  EnterLibrary();
  return SwitchAnalogInputs(CardNum, 0);
}

extern "C" uint32_t MERLOX_API AI_ReadAll(int32_t CardNum, TSensorRecord* pValues) {
  EnterLibrary();
  DWORD status = CheckCard(CardNum);
  if (status != ERROR_SUCCESS) return status;
  if (!WriteCaller(pValues, TSensorRecord{})) return ERROR_NOACCESS;
  try {
    TDeviceData& slot = Slot(CardNum);
    // The card measures its analog inputs only once they are enabled. The first
    // read does that; a failed enabling is not reported and is tried again by the
    // next read.
    if (!slot.bAIEnabled) {
      const uint32_t enabled =
          MERLOX_GenericVendorWrite(CardNum, kAnalogRequest, 1, kAnalogEnableIndex, 0, nullptr);
      slot.bAIEnabled = enabled == ERROR_SUCCESS;
    }
    TInputStatus record;
    status = ReadInputStatus(CardNum, kPeekInputs, kSensorRecordLength, record);
    if (status != ERROR_SUCCESS) return status;
    TSensorRecord values;
    ConvertSensorRecord(&values, &record.Sensors);
    return WriteCaller(pValues, values) ? ERROR_SUCCESS : ERROR_NOACCESS;
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

extern "C" uint32_t MERLOX_API AI_Read1(int32_t CardNum, uint32_t Channel, double* pValue) {
  EnterLibrary();
  if (!WriteCaller(pValue, 0.0)) return ERROR_NOACCESS;
  try {
    // The channel is tested before the card is looked at.
    const uint8_t channel = static_cast<uint8_t>(Channel);
    if (channel >= kSensorValues) return ERROR_INVALID_INDEX;
    TSensorRecord values;
    const uint32_t status = AI_ReadAll(CardNum, &values);
    if (status != ERROR_SUCCESS) return status;
    return WriteCaller(pValue, SensorValue(values, channel)) ? ERROR_SUCCESS : ERROR_NOACCESS;
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

extern "C" uint32_t MERLOX_API Speaker_SetFreq(int32_t CardNum, int32_t Frequency) {
  EnterLibrary();
  // The range comes first: nothing else is tested and nothing is sent.
  if (Frequency < 0 || Frequency > kMaxSpeakerFrequency) return ERROR_INVALID_PARAMETER;
  try {
    const uint16_t index = Frequency == 0 ? kSpeakerOffIndex : kSpeakerOnIndex;
    return MERLOX_GenericVendorWrite(CardNum, kAnalogRequest, static_cast<uint32_t>(Frequency),
                                     index, 0, nullptr);
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}
