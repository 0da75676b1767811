#include "Monitor.h"

#include <cstdio>

#include "Evidence.h"
#include "Metrics.h"
#include "StatusPage.h"

namespace merloxd {
namespace {

constexpr Milliseconds kPlotWindow{10 * 60 * 1000};

nlohmann::json Bits(uint8_t value) {
  nlohmann::json bits = nlohmann::json::array();
  for (unsigned channel = 0; channel < 8; ++channel) bits.push_back((value >> channel) & 1);
  return bits;
}

nlohmann::json CardJson(const CardReading& card) {
  char product[16];
  std::snprintf(product, sizeof(product), "0x%04X", card.productId);
  nlohmann::json json = {
      {"card", card.label}, {"number", card.number}, {"product", product}, {"up", card.up}};
  if (!card.up) return json;
  json["temperature_c"] = card.temperature;
  json["humidity_percent"] = card.humidity;
  json["analog_mv"] = card.analog;
  json["inputs"] = Bits(card.inputs);
  json["outputs"] = Bits(card.outputs);
  return json;
}

// The path alone: a query string changes nothing here.
std::string_view Path(std::string_view target) { return target.substr(0, target.find('?')); }

}  // namespace

Monitor::Monitor(StatusSource status, Milliseconds cacheInterval, std::string textfile)
    : status_(std::move(status)),
      cache_(cacheInterval),
      history_(kPlotWindow, kMonitorTick - Milliseconds(500)),
      textfile_(std::move(textfile)) {}

const std::vector<CardReading>& Monitor::Cards() { return cache_.Read(Clock::now()); }

std::string Monitor::Metrics() {
  const GuardStatus guard = status_();
  return MetricsText(guard, Cards(), UnixMillisecondsNow());
}

nlohmann::json Monitor::StatusDocument() {
  nlohmann::json cards = nlohmann::json::array();
  for (const CardReading& card : Cards()) cards.push_back(CardJson(card));
  return {{"now", UnixMillisecondsNow()},
          {"guard", StatusJson(status_())},
          {"cards", cards},
          {"history", history_.Json()}};
}

HttpReply Monitor::Get(std::string_view target) {
  const std::string_view path = Path(target);
  if (path == "/metrics") {
    return {200, "text/plain; version=0.0.4; charset=utf-8", Metrics()};
  }
  if (path == "/status.json") {
    // Check details may hold whatever a command printed: bytes that are not UTF-8
    // are replaced, not a reason to fail.
    return {200, "application/json",
            StatusDocument().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
  }
  if (path == "/") return {200, "text/html; charset=utf-8", std::string(kStatusPage)};
  return {404, "text/plain; charset=utf-8", "not found: /, /metrics and /status.json are here\n"};
}

std::string Monitor::Tick() {
  history_.Add(UnixMillisecondsNow(), Cards());
  if (textfile_.empty()) return "";
  return ReplaceFile(textfile_, Metrics());
}

}  // namespace merloxd
