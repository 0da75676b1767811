// The commands for the card's sensors, analog and digital inputs, outputs and
// speaker: one or a few calls each, reporting what the card answered.
#include "Commands.h"
#include "merlox.h"

namespace merloxctl {
namespace {

constexpr int kAnalogInputs = 4;

// Every write is followed by a readback: the library keeps no copy of the outputs,
// so the card says what they are.
int ReportOutputs(Output& out, const std::string& operation, const ResolvedCard& card) {
  uint8_t outputs = 0;
  const uint32_t status = DO_ReadbackAll(card.number, &outputs);
  if (status != MERLOX_STATUS_SUCCESS) return out.Failure(operation + " readback", card, status);
  Json document = CardJson(card);
  document["outputs"] = outputs;
  out.Result(document, DescribeCard(card) + ": outputs 7..0 " + Bits(outputs) + "\n");
  return kExitOk;
}

std::string InputList(uint8_t mask) {
  if (mask == 0xFF) return "all inputs";
  std::string numbers;
  int count = 0;
  for (int input = 0; input < 8; ++input) {
    if (((mask >> input) & 1) == 0) continue;
    if (count++ > 0) numbers += ',';
    numbers += std::to_string(input);
  }
  std::string list = count == 1 ? "input " : "inputs ";
  list += numbers;
  return list;
}

}  // namespace

int Sensors(Output& out, const CardChoice& choice) {
  return WithCard(out, "sensors", choice, [&](const ResolvedCard& card) {
    TSensorRecord values;
    uint32_t status = AI_ReadAll(card.number, &values);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("sensors", card, status);
    double fahrenheit = 0.0;
    status = WDG_ReadTemp(card.number, &fahrenheit);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("sensors", card, status);
    Json document = CardJson(card);
    document["temperature_c"] = Rounded(values.Temperature);
    document["temperature_f"] = Rounded(fahrenheit);
    document["humidity_percent"] = Rounded(values.Humidity);
    out.Result(document, DescribeCard(card) + ": " + Fixed(values.Temperature) + " C (" +
                             Fixed(fahrenheit) + " F), " + Fixed(values.Humidity) +
                             " % relative humidity\n");
    return kExitOk;
  });
}

int AnalogRead(Output& out, const CardChoice& choice) {
  return WithCard(out, "ai read", choice, [&](const ResolvedCard& card) {
    TSensorRecord values;
    const uint32_t status = AI_ReadAll(card.number, &values);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("ai read", card, status);
    Json document = CardJson(card);
    Json analog = Json::array();
    std::string text = DescribeCard(card) + ":\n";
    for (int i = 0; i < kAnalogInputs; ++i) {
      analog.push_back({{"input", i}, {"millivolts", Rounded(values.Analog[i])}});
      text += "  analog input " + std::to_string(i) + ": " + Fixed(values.Analog[i]) + " mV\n";
    }
    document["analog"] = analog;
    out.Result(document, text);
    return kExitOk;
  });
}

int AnalogSwitch(Output& out, const CardChoice& choice, bool enable) {
  const std::string operation = enable ? "ai enable" : "ai disable";
  return WithCard(out, operation, choice, [&](const ResolvedCard& card) {
    const uint32_t status = enable ? AI_Enable(card.number) : AI_Disable(card.number);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure(operation, card, status);
    Json document = CardJson(card);
    document["analog_enabled"] = enable;
    out.Result(document,
               DescribeCard(card) + ": analog inputs " + (enable ? "enabled\n" : "disabled\n"));
    return kExitOk;
  });
}

int DigitalRead(Output& out, const CardChoice& choice) {
  return WithCard(out, "di read", choice, [&](const ResolvedCard& card) {
    // The inputs are peeked, so that the latches stay for DI_ReadLatched, which
    // hands them over: they collect changes again from then on.
    uint8_t inputs = 0;
    uint32_t status = DI_PeekAll(card.number, &inputs);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("di read", card, status);
    uint8_t rising = 0;
    uint8_t falling = 0;
    status = DI_ReadLatched(card.number, &rising, &falling);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("di read latches", card, status);
    Json document = CardJson(card);
    document["inputs"] = inputs;
    document["latched_rising"] = rising;
    document["latched_falling"] = falling;
    out.Result(document, DescribeCard(card) + ": inputs 7..0 " + Bits(inputs) +
                             "\n  went 0 to 1 since the last read: " + Bits(rising) +
                             "\n  went 1 to 0 since the last read: " + Bits(falling) + "\n");
    return kExitOk;
  });
}

int DigitalDebounce(Output& out, const CardChoice& choice, uint8_t mask, uint8_t setting) {
  return WithCard(out, "di debounce", choice, [&](const ResolvedCard& card) {
    const uint32_t status = mask == 0xFF ? DI_SetDebounceAll(card.number, setting)
                                         : DI_SetDebounceSome(card.number, mask, setting);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("di debounce", card, status);
    Json document = CardJson(card);
    document["inputs_mask"] = mask;
    document["debounce"] = setting;
    out.Result(document, DescribeCard(card) + ": debounce " + std::to_string(setting) + " for " +
                             InputList(mask) + "\n");
    return kExitOk;
  });
}

int DigitalTimestamp(Output& out, const CardChoice& choice) {
  return WithCard(out, "di timestamp", choice, [&](const ResolvedCard& card) {
    uint16_t timestamp = 0;
    const uint32_t status = DI_ReadTimestamp(card.number, &timestamp);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("di timestamp", card, status);
    Json document = CardJson(card);
    document["timestamp"] = timestamp;
    out.Result(document, DescribeCard(card) + ": timestamp " + std::to_string(timestamp) + "\n");
    return kExitOk;
  });
}

int OutputsRead(Output& out, const CardChoice& choice) {
  return WithCard(out, "do read", choice,
                  [&](const ResolvedCard& card) { return ReportOutputs(out, "do read", card); });
}

int OutputsWrite(Output& out, const CardChoice& choice, uint8_t value) {
  return WithCard(out, "do write", choice, [&](const ResolvedCard& card) {
    const uint32_t status = DO_WriteAll(card.number, value);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("do write", card, status);
    return ReportOutputs(out, "do write", card);
  });
}

int OutputsSet(Output& out, const CardChoice& choice, uint32_t output, bool on) {
  return WithCard(out, "do set", choice, [&](const ResolvedCard& card) {
    const uint32_t status = DO_Write1(card.number, output, on ? 1 : 0);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("do set", card, status);
    return ReportOutputs(out, "do set", card);
  });
}

int OutputsPwm(Output& out, const CardChoice& choice, uint32_t output, uint8_t low, int32_t high) {
  return WithCard(out, "do pwm", choice, [&](const ResolvedCard& card) {
    const uint32_t status = DO_SetPWM(card.number, static_cast<int32_t>(output), low, high);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("do pwm", card, status);
    Json document = CardJson(card);
    document["output"] = output;
    document["low"] = low;
    document["high"] = high;
    out.Result(document, DescribeCard(card) + ": PWM of output " + std::to_string(output) +
                             " set to low " + std::to_string(low) + ", high " +
                             std::to_string(high) + "\n");
    return kExitOk;
  });
}

int Speaker(Output& out, const CardChoice& choice, int32_t frequency) {
  return WithCard(out, "speaker", choice, [&](const ResolvedCard& card) {
    const uint32_t status = Speaker_SetFreq(card.number, frequency);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("speaker", card, status);
    Json document = CardJson(card);
    document["frequency"] = frequency;
    out.Result(document, DescribeCard(card) + ": speaker " +
                             (frequency == 0 ? std::string("off") : std::to_string(frequency)) +
                             "\n");
    return kExitOk;
  });
}

}  // namespace merloxctl
