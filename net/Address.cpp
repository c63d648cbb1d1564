#include "net/Address.h"

#include "net/SocketOps.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fp {

namespace {

// A field reads as strtol reads it with base 10 where long is 32 bits wide: values that do not
// fit become 2147483647.
std::uint8_t DottedField(const std::string& field) {
  long value = std::strtol(field.c_str(), nullptr, 10);
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<std::uint8_t>(value & 0xFF);
}

std::uint32_t ReadDottedNumber(const std::string& text) {
  std::uint8_t bytes[4] = {0, 0, 0, 0};
  int fields = 0;
  std::size_t pos = 0;
  while (pos < text.size() && fields < 4) {
    const std::size_t dot = text.find('.', pos);
    const std::size_t end = dot == std::string::npos ? text.size() : dot;
    if (end > pos) bytes[fields++] = DottedField(text.substr(pos, end - pos));
    pos = end + 1;
  }
  std::uint32_t address;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

}  // namespace

bool IsDottedNumber(const std::string& text) {
  for (char c : text) {
    if ((c < '0' || c > '9') && c != '.') return false;
  }
  return true;
}

bool HostToAddress(const std::string& host, std::uint32_t& address) {
  if (IsDottedNumber(host)) {
    address = ReadDottedNumber(host);
    return true;
  }
  return sockets::ResolveIPv4(host.c_str(), address) == 0;
}

void AddressToText(std::uint32_t address, std::string& text) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  text = buf;
}

std::string NumberToText(std::int32_t number) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%ld", static_cast<long>(number));
  return buf;
}

}  // namespace fp
