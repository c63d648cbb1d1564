#pragma once

// Files and packets built byte by byte, as the tests of captures write them by hand.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace fp::test {

using Bytes = std::vector<std::uint8_t>;

// Appends the `size` low bytes of `v`, most significant first.
inline void PutBe(Bytes& b, std::uint64_t v, int size) {
  for (int i = size - 1; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
// The same, least significant first.
inline void PutLe(Bytes& b, std::uint64_t v, int size) {
  for (int i = 0; i < size; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// `bytes` as the whole file at `path`.
inline void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

}  // namespace fp::test
