#include "Output.h"

#include <cmath>
#include <cstdio>

#include "merlox.h"

namespace merloxctl {

Json& Json::Add(const std::string& key, double value) {
  // JSON has no NaN or infinity.
  if (!std::isfinite(value)) return Raw(key, "null");
  char text[64];
  std::snprintf(text, sizeof(text), "%.6g", value);
  return Raw(key, text);
}

Json& Json::Push(const Json& value) {
  if (!body_.empty()) body_ += ",";
  body_ += value.Text();
  return *this;
}

Json& Json::Raw(const std::string& key, const std::string& value) {
  if (!body_.empty()) body_ += ",";
  body_ += Quote(key) + ":" + value;
  return *this;
}

std::string Json::Quote(const std::string& text) {
  std::string quoted = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      quoted += escaped;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}

void Output::Result(const Json& document, const std::string& text) const {
  if (json_) {
    std::printf("%s\n", document.Text().c_str());
  } else {
    std::printf("%s", text.c_str());
  }
  std::fflush(stdout);
}

int Output::Failure(const std::string& operation, int32_t card, uint32_t status) const {
  if (json_) {
    Json document = Json::Object();
    document.Add("operation", operation)
        .Add("card", int64_t{card})
        .Add("status", int64_t{status})
        .Add("message", MERLOX_StatusText(status));
    std::printf("%s\n", Json::Object().Add("error", document).Text().c_str());
    std::fflush(stdout);
  } else {
    std::fprintf(stderr, "merloxctl: %s on card %d: %s\n", operation.c_str(), card,
                 DescribeStatus(status).c_str());
  }
  return kExitFailed;
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

}  // namespace merloxctl
