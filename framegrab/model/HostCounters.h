#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fp {

// The kernel's count of UDP datagrams dropped for a full receive buffer, all sockets of the
// machine (RcvbufErrors on the "Udp:" lines of /proc/net/snmp); none when it cannot be read.
std::optional<std::int64_t> ReadRcvbufErrors(const std::string& path = "/proc/net/snmp");

// Processor time the whole process has used so far, user and system, in milliseconds.
struct ProcessorTime {
  double user_ms = 0;
  double system_ms = 0;
};
ProcessorTime ReadProcessorTime();

}  // namespace fp
