#include "PcapReader.h"

#include <arpa/inet.h>
#include <fstream>
#include <iterator>

namespace fp::test {

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

// Two bytes at a time, the plain way.
std::uint32_t Sum16(const std::uint8_t* p, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += Be16(p + i);
  if (n % 2 == 1) sum += std::uint32_t{p[n - 1]} << 8;
  return sum;
}

std::uint16_t Fold(std::uint32_t sum) {
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

SimEndpoint EndpointAt(const std::uint8_t* address, const std::uint8_t* port) {
  const std::uint32_t host_order = (std::uint32_t{address[0]} << 24) |
                                   (std::uint32_t{address[1]} << 16) |
                                   (std::uint32_t{address[2]} << 8) | std::uint32_t{address[3]};
  return SimEndpoint{htonl(host_order), Be16(port)};
}

}  // namespace

bool ReadCapture(const std::string& path, std::vector<CapturedDatagram>& datagrams,
                 std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
  if (file.size() < 24) {
    error = "shorter than a pcap file header";
    return false;
  }
  const std::uint8_t* h = file.data();
  if (Le32(h) != 0xA1B2C3D4 || Le16(h + 4) != 2 || Le16(h + 6) != 4 || Le32(h + 8) != 0 ||
      Le32(h + 12) != 0 || Le32(h + 16) < 1100 || Le32(h + 20) != 101) {
    error = "not a little-endian microsecond pcap file of raw IPv4";
    return false;
  }
  datagrams.clear();
  std::size_t at = 24;
  while (at < file.size()) {
    if (file.size() - at < 16) {
      error = "record header cut at byte " + std::to_string(at);
      return false;
    }
    const std::uint8_t* r = file.data() + at;
    const std::uint32_t included = Le32(r + 8);
    if (file.size() - at - 16 < included) {
      error = "record cut at byte " + std::to_string(at);
      return false;
    }
    CapturedDatagram d;
    std::string& bad = d.problems;
    d.seconds = Le32(r);
    d.microseconds = Le32(r + 4);
    if (d.microseconds >= 1000000) bad += "microseconds past a second\n";
    if (Le32(r + 12) != included) bad += "length on the wire differs from the recorded one\n";
    const std::uint8_t* ip = r + 16;
    at += 16 + included;
    if (included < 28) {
      bad += "shorter than IPv4 and UDP headers\n";
      datagrams.push_back(d);
      continue;
    }
    d.ip_header.assign(ip, ip + 20);
    if (ip[0] != 0x45) bad += "not IPv4 with a 20-byte header\n";
    if (Be16(ip + 2) != included) bad += "IPv4 total length differs from the record\n";
    if ((Be16(ip + 6) & 0x3FFF) != 0) bad += "a fragment\n";
    if (ip[8] == 0) bad += "time to live 0\n";
    if (ip[9] != 17) bad += "not UDP\n";
    if (Fold(Sum16(ip, 20)) != 0xFFFF) bad += "wrong IPv4 header checksum\n";
    const std::uint8_t* udp = ip + 20;
    const std::uint16_t udp_length = Be16(udp + 4);
    if (udp_length != included - 20) bad += "UDP length differs from the IPv4 length\n";
    d.from = EndpointAt(ip + 12, udp);
    d.to = EndpointAt(ip + 16, udp + 2);
    d.payload.assign(udp + 8, ip + included);
    // The pseudo-header: source and destination address, zero and protocol, UDP length.
    const std::uint32_t pseudo = Sum16(ip + 12, 8) + 17 + (included - 20);
    if (Be16(udp + 6) == 0) {
      bad += "no UDP checksum\n";
    } else if (Fold(pseudo + Sum16(udp, included - 20)) != 0xFFFF) {
      bad += "wrong UDP checksum\n";
    }
    datagrams.push_back(std::move(d));
  }
  return true;
}

}  // namespace fp::test
