#pragma once

#include <cstdint>

namespace fp {

// A UDP/IPv4 endpoint: address in network byte order, port in host byte order.
struct SimEndpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;

  friend bool operator==(const SimEndpoint&, const SimEndpoint&) = default;
};

}  // namespace fp
