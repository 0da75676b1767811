#include "ListenAddress.h"

// Asio needs <utility> before it with GCC 12 in C++20 (a known header bug of Boost 1.74).
#include <utility>
//
#include <boost/asio/ip/address.hpp>
#include <charconv>

namespace merloxd {
namespace {

std::optional<uint16_t> Port(std::string_view text) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  if (text.empty() || result.ptr != end || value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

}  // namespace

std::optional<ListenAddress> ParseListenAddress(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) host = host.substr(1, host.size() - 2);
  const auto port = Port(text.substr(colon + 1));
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address(std::string(host), error);
  // An IPv6 address must stand in brackets, or its last group would read as the port.
  if (!port || error || address.is_v6() != bracketed) return std::nullopt;
  return ListenAddress{std::string(host), *port};
}

bool IsLoopback(const std::string& host) {
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address(host, error);
  return !error && address.is_loopback();
}

}  // namespace merloxd
