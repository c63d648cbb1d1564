#pragma once

#include "tools/camsim/SimEndpoint.h"

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <string>

namespace fp::test {

// A dotted quad in network byte order; 0 when `text` is not one.
inline std::uint32_t Ip(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1 ? a.s_addr : 0;
}

// `address`, a dotted quad, and `port` as the simulator's endpoint.
inline SimEndpoint At(const std::string& address, std::uint16_t port) {
  return SimEndpoint{Ip(address), port};
}

// One /24 of the loopback block, 127.<first>.<second>.0, for one test. Each suite keeps a table
// of them, one row per test, so that tests running side by side on the fixed ports never share
// an address.
struct LoopbackSubnet {
  int first;
  int second;
  std::string Host(int host) const {
    return "127." + std::to_string(first) + "." + std::to_string(second) + "." +
           std::to_string(host);
  }
};

}  // namespace fp::test
