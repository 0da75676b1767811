// Request bytes written the way a bus analyser shows them: "40 A0 00 E6 ...".
// Shared by the host and the Windows tests, which both compare exact blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace merlox::test {

inline std::vector<uint8_t> Hex(const char* text) {
  std::vector<uint8_t> bytes;
  for (const char* p = text; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return bytes;
}

}  // namespace merlox::test
