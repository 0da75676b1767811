// How merloxctl reports: human-readable lines by default, or JSON with --json (one
// document per command; one object per line for the commands that go on, watch and
// the watchdog loops). Errors always go to the error stream, in JSON as one object.
// Exit codes let a script tell a bad command line from a card that said no.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "Platform.h"

namespace merloxctl {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the library gave a nonzero status, or no card matched
constexpr int kExitUsage = 2;   // a bad command line, or a feature this build lacks

// Keys in the order they were added: the same order as the text output.
using Json = nlohmann::ordered_json;

// A card as a command acted on it: the number it resolved to (never a selector)
// and its serial number when it has one.
struct ResolvedCard {
  int32_t number = 0;
  std::optional<uint64_t> serial;
};

class Output {
 public:
  Output(bool json, std::ostream& out, std::ostream& err) : json_(json), out_(out), err_(err) {}
  bool json() const { return json_; }

  // The command's result: the JSON document, or the human-readable text.
  void Result(const Json& document, const std::string& text);
  // One line of a command that goes on (watch, keepalive), stamped with the time.
  void Line(Json document, const std::string& text);
  // A failed operation: status and meaning, for a card when there is one. Returns
  // kExitFailed.
  int Failure(const std::string& operation, const std::optional<ResolvedCard>& card,
              uint32_t status);
  // A failure that is no library status (no card has a serial number). kExitFailed.
  int Problem(const std::string& operation, const std::string& message);
  // A bad command line. kExitUsage.
  int Usage(const std::string& message);
  // A warning that does not stop the command.
  void Warning(const std::string& message);
  // A remark on how the command runs, on the error stream in text mode only: the
  // JSON documents stay as they are.
  void Note(const std::string& message);

 private:
  void Write(std::ostream& stream, const std::string& text);

  bool json_;
  std::ostream& out_;
  std::ostream& err_;
  Mutex mutex_;  // lines from the watch mode's threads never mix
};

// "card 0 (serial 0x0000004D584F0A01)", or "card 0 (no serial number)".
std::string DescribeCard(const ResolvedCard& card);
// {"card": 0, "serial": "0x0000004D584F0A01"} (serial null when it has none).
Json CardJson(const ResolvedCard& card);

// The status's meaning, as merlox.h's MERLOX_StatusText gives it, with the number.
std::string DescribeStatus(uint32_t status);

std::string Hex(uint64_t value, int digits);
std::string Bits(uint8_t value);  // "bit 7 ... bit 0", as 8 characters

// Measurements carry two decimals in both outputs: the value printed as text is the
// value in the JSON document.
double Rounded(double value);
std::string Fixed(double value);

// A time in milliseconds since 1970, as ISO 8601 in UTC with milliseconds:
// 2026-12-11T14:03:07.125Z; and now, the same way.
std::string IsoTime(uint64_t unixMilliseconds);
std::string IsoTimeNow();

}  // namespace merloxctl
