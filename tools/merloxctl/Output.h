// How merloxctl reports: human-readable lines by default, one JSON document per
// command with --json (one JSON line per event in watch mode), and exit codes a
// script can test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace merloxctl {

// Exit codes. A failed operation exits 1 whatever its status; the status itself
// is in the message (and in the JSON "status" field), so scripts can tell them apart.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the library gave a nonzero status
constexpr int kExitUsage = 2;   // bad command line, or the feature is not in this build

// A JSON value written as text as it is built. Objects keep their keys in order.
class Json {
 public:
  static Json Object() { return Json("{", "}"); }
  static Json Array() { return Json("[", "]"); }

  Json& Add(const std::string& key, const Json& value) { return Raw(key, value.Text()); }
  Json& Add(const std::string& key, const std::string& value) { return Raw(key, Quote(value)); }
  Json& Add(const std::string& key, const char* value) { return Raw(key, Quote(value)); }
  Json& Add(const std::string& key, bool value) { return Raw(key, value ? "true" : "false"); }
  Json& Add(const std::string& key, int64_t value) { return Raw(key, std::to_string(value)); }
  Json& Add(const std::string& key, double value);
  Json& Push(const Json& value);  // arrays only

  std::string Text() const { return open_ + body_ + close_; }
  static std::string Quote(const std::string& text);

 private:
  Json(const char* open, const char* close) : open_(open), close_(close) {}
  Json& Raw(const std::string& key, const std::string& value);

  std::string open_, close_, body_;
};

class Output {
 public:
  explicit Output(bool json) : json_(json) {}
  bool json() const { return json_; }

  // Prints the command's result: the JSON document, or the human-readable text.
  void Result(const Json& document, const std::string& text) const;
  // Reports a failed operation on a card and returns kExitFailed. Human output goes
  // to stderr; JSON output is a document with the status and its meaning on stdout.
  int Failure(const std::string& operation, int32_t card, uint32_t status) const;

 private:
  bool json_;
};

// The status's meaning, as merlox.h's MERLOX_StatusText gives it, with the number.
std::string DescribeStatus(uint32_t status);

std::string Hex(uint64_t value, int digits);
std::string Bits(uint8_t value);  // "bit 7 ... bit 0", as 8 characters

}  // namespace merloxctl
