// Where the monitoring endpoint listens: "127.0.0.1:9858", "[::1]:9858", "0.0.0.0:9858".
// Only an IP address is taken, never a host name: a name would be looked up at some
// start and not another, and the endpoint would quietly open elsewhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace merloxd {

struct ListenAddress {
  std::string host;  // the address alone, without brackets
  uint16_t port = 0;
};

// The address and a port 1..65535; none for anything else.
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

// Whether only this machine can reach an endpoint at host (127.0.0.0/8, ::1).
bool IsLoopback(const std::string& host);

}  // namespace merloxd
