#include "Commissioning.h"

#include <cstdio>
#include <ostream>

#include "Checks.h"
#include "merlox.h"

namespace merloxd {
namespace {

int32_t Locate(const CardName& card) {
  if (card.serial) return GetCardBySerialNumber(*card.serial);
  uint32_t pid = 0;
  return QueryCardID(card.number, &pid) == MERLOX_STATUS_SUCCESS ? card.number : -1;
}

std::string Describe(const CardName& card) {
  if (!card.serial) return "card " + std::to_string(card.number);
  char text[48];
  std::snprintf(text, sizeof(text), "serial:0x%016llX",
                static_cast<unsigned long long>(*card.serial));
  return text;
}

const CardName* CardOf(const CheckSettings& check) {
  if (const auto* sensor = std::get_if<SensorCheck>(&check.kind)) return &sensor->card;
  if (const auto* input = std::get_if<InputCheck>(&check.kind)) return &input->card;
  return nullptr;
}

}  // namespace

std::string MissingOtherCard(const GuardConfig& config) {
  GetNumCards();
  for (const CheckSettings& check : config.checks) {
    const CardName* card = CardOf(check);
    if (card == nullptr || !card->serial || card->serial == config.watchdog.card.serial) continue;
    if (GetCardBySerialNumber(*card->serial) < 0) {
      return check.where + ": [[check]] \"" + check.name + "\": card " + Describe(*card) +
             " is not the guard's card, and no open card has that serial number";
    }
  }
  return "";
}

int CheckOnce(const GuardConfig& config, std::ostream& out) {
  GetNumCards();
  bool healthy = true;
  const int32_t card = Locate(config.watchdog.card);
  if (card < 0) {
    out << "card: " << Describe(config.watchdog.card) << " is not there: FAILED" << std::endl;
    healthy = false;
  } else {
    out << "card: " << Describe(config.watchdog.card) << " found as card " << card << std::endl;
  }
  for (const CheckSettings& settings : config.checks) {
    const auto check = MakeCheck(settings, Locate);
    if (!check) {
      out << settings.name << " (" << settings.type
          << "): fed by an application's pings while the guard runs; not checked here" << std::endl;
      continue;
    }
    const CheckResult result = check->Run();
    healthy = healthy && result.healthy;
    out << settings.name << " (" << settings.type
        << "): " << (result.healthy ? "healthy" : "FAILED") << ": " << result.detail << std::endl;
  }
  out << (healthy ? "all healthy; nothing was armed" : "not all healthy; nothing was armed")
      << std::endl;
  return healthy ? 0 : 1;
}

}  // namespace merloxd
