#include "GuardStatus.h"

#include <chrono>

#include "Evidence.h"

namespace merloxd {
namespace {

nlohmann::json Time(const std::optional<int64_t>& milliseconds) {
  if (!milliseconds) return nullptr;
  return IsoTime(*milliseconds / 1000);
}

nlohmann::json SerialJson(const std::optional<uint64_t>& serial) {
  if (!serial) return nullptr;
  return SerialText(*serial);
}

}  // namespace

std::string SerialText(uint64_t serial) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%016llX", static_cast<unsigned long long>(serial));
  return text;
}

int64_t UnixMillisecondsNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

nlohmann::json StatusJson(const GuardStatus& status) {
  nlohmann::json checks = nlohmann::json::array();
  for (const CheckStatus& check : status.checks) {
    checks.push_back({{"name", check.name},
                      {"type", check.type},
                      {"healthy", check.healthy},
                      {"failing_since", Time(check.failingSince)},
                      {"failures", check.failures},
                      {"detail", check.detail}});
  }
  return {{"card", status.card},
          {"card_number", status.cardNumber},
          {"serial", SerialJson(status.serial)},
          {"armed", status.armed},
          {"dry_run", status.dryRun},
          {"timeout_ms", status.timeout.count()},
          {"feeds", status.feeds},
          {"last_feed", Time(status.lastFeed)},
          {"feed_lateness_ms",
           {{"samples", status.lateness.samples},
            {"p50", status.lateness.p50},
            {"p99", status.lateness.p99},
            {"max", status.lateness.max}}},
          {"paused", status.paused},
          {"paused_until", Time(status.pausedUntil)},
          {"pause_reason", status.pauseReason},
          {"safe_mode", status.safeMode},
          {"previous_run_clean", status.previousRunClean},
          {"decision", status.decision},
          {"actions", status.actions},
          {"checks", checks}};
}

}  // namespace merloxd
