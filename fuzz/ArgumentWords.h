#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fp::fuzz {

// A fuzz input as a command line: its bytes split at zero bytes into arguments.
inline std::vector<std::string> ArgumentWords(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }
  return args;
}

}  // namespace fp::fuzz
