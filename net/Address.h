#pragma once

#include <cstdint>
#include <string>

namespace fp {

// IPv4 addresses are 32-bit values in network byte order: the first byte in memory is the
// first number of the dotted quad. Ports are kept apart from addresses, in host byte order.

// True when every character is an ASCII digit or a dot (so also for the empty text).
bool IsDottedNumber(const std::string& text);

// Converts a host text into an address. A dotted number never fails: empty fields are skipped,
// missing fields read as 0, fields after the fourth are ignored and each field keeps the low
// 8 bits of its value ("10.1" gives 10.1.0.0, "256.1.1.1" gives 0.1.1.1). Anything else is a host
// name for the system resolver (IPv4 only). Returns false, leaving `address` untouched, when the
// resolver knows no address for it. May block on the resolver; safe from any thread.
bool HostToAddress(const std::string& host, std::uint32_t& address);

// Replaces `text` with the dotted quad of `address` ("%u.%u.%u.%u").
void AddressToText(std::uint32_t address, std::string& text);

// The decimal text of `number`, with a minus sign when negative.
std::string NumberToText(std::int32_t number);

}  // namespace fp
