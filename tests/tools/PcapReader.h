#pragma once

#include "tools/camsim/SimSocket.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fp::test {

// One record of a capture file as a reader that shares no code with the writer sees it.
struct CapturedDatagram {
  std::uint32_t seconds = 0;
  std::uint32_t microseconds = 0;
  SimEndpoint from;
  SimEndpoint to;
  std::vector<std::uint8_t> ip_header;  // the 20 bytes as recorded
  std::vector<std::uint8_t> payload;    // UDP payload
  // Each header field that is not what a UDP/IPv4 datagram taken off the wire has (lengths
  // that disagree, a fragment, a wrong checksum, ...), one per line; empty when all are right.
  std::string problems;
};

// Reads a classic pcap file of link type raw IPv4 (101), little-endian with microsecond time
// stamps, and checks every header: the IPv4 and UDP checksums by summing over the header with
// its checksum in place (a right one makes the ones' complement sum 0xFFFF). Returns false
// with a reason in `error` when the file header is wrong or a record is cut; per-record faults
// are in `problems`.
bool ReadCapture(const std::string& path, std::vector<CapturedDatagram>& datagrams,
                 std::string& error);

}  // namespace fp::test
