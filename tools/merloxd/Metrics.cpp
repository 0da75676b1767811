#include "Metrics.h"

#include <algorithm>
#include <cstdio>

#include "Exposition.h"

namespace merloxd {
namespace {

using Type = Exposition::Type;

// The actions the guard can take, shown at 0 before it took any, so that an alert
// on their increase has a series to look at from the start.
constexpr const char* kActions[] = {"repair", "reset", "reboot"};

std::string Hex16(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%04X", value);
  return text;
}

// One sample per card that is up, from what its reading holds.
template <class Value>
void PerCard(Exposition& out, const std::vector<CardReading>& cards, Value value) {
  for (const CardReading& card : cards) {
    if (card.up) out.Sample({{"card", card.label}}, value(card));
  }
}

// One sample per channel of every card that is up.
template <class Value>
void PerChannel(Exposition& out, const std::vector<CardReading>& cards, unsigned channels,
                Value value) {
  for (const CardReading& card : cards) {
    if (!card.up) continue;
    for (unsigned channel = 0; channel < channels; ++channel) {
      out.Sample({{"card", card.label}, {"channel", std::to_string(channel)}},
                 value(card, channel));
    }
  }
}

void CardFamilies(Exposition& out, const std::vector<CardReading>& cards) {
  out.Family("merlox_up", Type::kGauge, "1 if the last read of the card succeeded, else 0.");
  for (const CardReading& card : cards) out.Sample({{"card", card.label}}, card.up ? 1 : 0);
  out.Family("merlox_card_info", Type::kGauge,
             "Always 1: the card's number (the last it had) and USB product ID.");
  for (const CardReading& card : cards) {
    out.Sample({{"card", card.label},
                {"number", std::to_string(card.number)},
                {"product", Hex16(card.productId)}},
               1);
  }
  out.Family("merlox_temperature_celsius", Type::kGauge, "The card's temperature sensor.");
  PerCard(out, cards, [](const CardReading& card) { return card.temperature; });
  out.Family("merlox_humidity_ratio", Type::kGauge,
             "The card's relative humidity sensor, 0 to 1 (not clamped: the sensor may read "
             "slightly outside).");
  PerCard(out, cards, [](const CardReading& card) { return card.humidity / 100.0; });
  out.Family("merlox_analog_input", Type::kGauge,
             "Analog input in millivolts: count x 1.25 / 32.767 (1250 mV at count 32767).");
  PerChannel(out, cards, 4, [](const CardReading& card, unsigned c) { return card.analog[c]; });
  out.Family("merlox_digital_input", Type::kGauge, "Digital input state, 0 or 1.");
  PerChannel(out, cards, 8,
             [](const CardReading& card, unsigned c) { return (card.inputs >> c) & 1; });
  out.Family("merlox_digital_output", Type::kGauge, "Digital output state as read back, 0 or 1.");
  PerChannel(out, cards, 8,
             [](const CardReading& card, unsigned c) { return (card.outputs >> c) & 1; });
}

void WatchdogFamilies(Exposition& out, const GuardStatus& guard) {
  const Labels card = {{"card", CardLabel(guard.serial, guard.cardNumber)}};
  out.Family("merlox_watchdog_armed", Type::kGauge,
             "1 while the guard has the card's watchdog armed.");
  out.Sample(card, guard.armed ? 1 : 0);
  out.Family("merlox_watchdog_timeout_seconds", Type::kGauge,
             "The watchdog timeout the guard arms the card with.");
  out.Sample(card, static_cast<double>(guard.timeout.count()) / 1000.0);
  out.Family("merlox_watchdog_feeds_total", Type::kCounter,
             "Feeds of the watchdog since the guard started.");
  out.Sample(card, static_cast<double>(guard.feeds));
  if (guard.lastFeed) {
    out.Family("merlox_watchdog_last_feed_timestamp_seconds", Type::kGauge,
               "When the guard last fed the watchdog, seconds since 1970.");
    out.Sample(card, static_cast<double>(*guard.lastFeed) / 1000.0);
  }
}

void CheckFamilies(Exposition& out, const GuardStatus& guard, int64_t nowMs) {
  out.Family("merlox_guard_check_healthy", Type::kGauge,
             "1 if the check's last result was healthy.");
  for (const CheckStatus& check : guard.checks) {
    out.Sample({{"check", check.name}}, check.healthy ? 1 : 0);
  }
  out.Family("merlox_guard_check_failing_seconds", Type::kGauge,
             "How long the check has been failing without a break; 0 while healthy.");
  for (const CheckStatus& check : guard.checks) {
    const int64_t since = check.failingSince.value_or(nowMs);
    out.Sample({{"check", check.name}},
               static_cast<double>(std::max<int64_t>(nowMs - since, 0)) / 1000.0);
  }
  out.Family("merlox_guard_check_failures_total", Type::kCounter,
             "Failed results of the check since the guard started.");
  for (const CheckStatus& check : guard.checks) {
    out.Sample({{"check", check.name}}, static_cast<double>(check.failures));
  }
}

void GuardFamilies(Exposition& out, const GuardStatus& guard) {
  out.Family("merlox_guard_paused", Type::kGauge,
             "1 while the guard is paused: it feeds whatever the checks say.");
  out.Sample(guard.paused ? 1 : 0);
  out.Family("merlox_guard_safe_mode", Type::kGauge,
             "1 while the guard is in safe mode after a boot loop: it acts on nothing.");
  out.Sample(guard.safeMode ? 1 : 0);
  out.Family("merlox_guard_actions_total", Type::kCounter,
             "Actions the guard took since it started: repair, reset, reboot.");
  for (const char* action : kActions) {
    const auto taken = guard.actions.find(action);
    out.Sample({{"action", action}},
               taken == guard.actions.end() ? 0.0 : static_cast<double>(taken->second));
  }
  out.Family("merlox_guard_last_run_clean", Type::kGauge,
             "1 if the guard's previous run stopped cleanly (or there was none).");
  out.Sample(guard.previousRunClean ? 1 : 0);
}

}  // namespace

std::string MetricsText(const GuardStatus& guard, const std::vector<CardReading>& cards,
                        int64_t nowMs) {
  Exposition out;
  CardFamilies(out, cards);
  WatchdogFamilies(out, guard);
  CheckFamilies(out, guard, nowMs);
  GuardFamilies(out, guard);
  return out.Text();
}

}  // namespace merloxd
