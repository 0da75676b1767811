#include "Output.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <ostream>

#include "merlox.h"

namespace merloxctl {

void Output::Write(std::ostream& stream, const std::string& text) {
  std::lock_guard<Mutex> lock(mutex_);
  stream << text << std::flush;
}

void Output::Result(const Json& document, const std::string& text) {
  Write(out_, json_ ? document.dump() + "\n" : text);
}

void Output::Line(Json document, const std::string& text) {
  const std::string time = IsoTimeNow();
  if (json_) {
    Json line = {{"time", time}};
    line.update(document);
    Write(out_, line.dump() + "\n");
  } else {
    Write(out_, time + " " + text + "\n");
  }
}

int Output::Failure(const std::string& operation, const std::optional<ResolvedCard>& card,
                    uint32_t status) {
  if (json_) {
    Json error = {{"operation", operation}};
    if (card) error.update(CardJson(*card));
    error["status"] = status;
    error["message"] = MERLOX_StatusText(status);
    Write(err_, Json{{"error", error}}.dump() + "\n");
  } else {
    Write(err_, "merloxctl: " + operation + (card ? " on " + DescribeCard(*card) : "") + ": " +
                    DescribeStatus(status) + "\n");
  }
  return kExitFailed;
}

int Output::Problem(const std::string& operation, const std::string& message) {
  if (json_) {
    Write(err_, Json{{"error", {{"operation", operation}, {"message", message}}}}.dump() + "\n");
  } else {
    Write(err_, "merloxctl: " + operation + ": " + message + "\n");
  }
  return kExitFailed;
}

int Output::Usage(const std::string& message) {
  if (json_) {
    Write(err_, Json{{"error", {{"usage", true}, {"message", message}}}}.dump() + "\n");
  } else {
    Write(err_, "merloxctl: " + message + "\n");
  }
  return kExitUsage;
}

void Output::Warning(const std::string& message) {
  if (json_) {
    Write(err_, Json{{"warning", message}}.dump() + "\n");
  } else {
    Write(err_, "merloxctl: warning: " + message + "\n");
  }
}

void Output::Note(const std::string& message) {
  if (!json_) Write(err_, "merloxctl: " + message + "\n");
}

std::string DescribeCard(const ResolvedCard& card) {
  return "card " + std::to_string(card.number) +
         (card.serial ? " (serial " + Hex(*card.serial, 16) + ")" : std::string());
}

Json CardJson(const ResolvedCard& card) {
  Json json = {{"card", card.number}};
  json["serial"] = card.serial ? Json(Hex(*card.serial, 16)) : Json(nullptr);
  return json;
}

std::string DescribeStatus(uint32_t status) {
  return std::string(MERLOX_StatusText(status)) + " (status " + std::to_string(status) + ")";
}

std::string Hex(uint64_t value, int digits) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string Bits(uint8_t value) {
  std::string bits;
  for (int bit = 7; bit >= 0; --bit) bits += (value >> bit) & 1 ? '1' : '0';
  return bits;
}

double Rounded(double value) { return std::round(value * 100.0) / 100.0; }

std::string Fixed(double value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.2f", Rounded(value));
  return text;
}

std::string IsoTime(uint64_t unixMilliseconds) {
  const auto seconds = static_cast<std::time_t>(unixMilliseconds / 1000);
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[96];  // room for any int the fields could hold
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03uZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<unsigned>(unixMilliseconds % 1000));
  return text;
}

std::string IsoTimeNow() {
  using namespace std::chrono;
  return IsoTime(static_cast<uint64_t>(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()));
}

}  // namespace merloxctl
