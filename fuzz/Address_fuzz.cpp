// Host texts: a dotted number never fails to convert, and its address written back as text
// converts to the same address. Other texts would go to the system's resolver, which a fuzzer
// must not ask: they are only classified.

#include "net/Address.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!fp::IsDottedNumber(text)) return 0;
  std::uint32_t address = 0;
  if (!fp::HostToAddress(text, address)) __builtin_trap();
  std::string written;
  fp::AddressToText(address, written);
  std::uint32_t again = 0;
  if (!fp::IsDottedNumber(written) || !fp::HostToAddress(written, again) || again != address) {
    __builtin_trap();
  }
  return 0;
}
