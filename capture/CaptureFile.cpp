#include "capture/CaptureFile.h"

#include <algorithm>
#include <cstring>
#include <pcap/pcap.h>

namespace fp {

namespace {

// The link types a frame is read from (pcap LINKTYPE_ numbers, and the DLT_ numbers libpcap
// reports for some of them on reading).
constexpr int kLinkNull = 0;  // BSD loopback: a 4-byte address family in the writer's order
constexpr int kLinkEthernet = 1;
constexpr int kLinkRawLinux = 12;    // raw IP: libpcap's DLT_RAW for LINKTYPE_RAW on Linux
constexpr int kLinkRawBsdOs = 14;    // raw IP as BSD/OS numbered it
constexpr int kLinkRaw = 101;        // raw IP: the IP header first, IPv4 or IPv6
constexpr int kLinkLoop = 108;       // OpenBSD loopback: a 4-byte address family, network order
constexpr int kLinkLinuxSll = 113;   // Linux cooked v1 (`-i any` before libpcap 1.10)
constexpr int kLinkIpv4 = 228;       // raw IPv4 only
constexpr int kLinkLinuxSll2 = 276;  // Linux cooked v2 (`-i any` from libpcap 1.10 on)

constexpr int kLinkTypes[] = {kLinkNull, kLinkEthernet, kLinkRawLinux, kLinkRawBsdOs, kLinkRaw,
                              kLinkLoop, kLinkLinuxSll, kLinkIpv4,     kLinkLinuxSll2};

constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
// VLAN tags: 802.1Q, 802.1ad (the outer tag of Q-in-Q) and the older pre-standard outer tag.
constexpr std::uint16_t kEtherTypeVlan = 0x8100;
constexpr std::uint16_t kEtherTypeQinQ = 0x88A8;
constexpr std::uint16_t kEtherTypeQinQOld = 0x9100;
constexpr std::uint32_t kFamilyIpv4 = 2;  // AF_INET on every BSD and on Linux
constexpr std::size_t kEthernetHeaderLength = 14;
constexpr std::size_t kVlanTagLength = 4;
constexpr std::size_t kSllHeaderLength = 16;
constexpr std::size_t kSll2HeaderLength = 20;
constexpr std::size_t kLoopbackHeaderLength = 4;
constexpr std::size_t kIpv4MinHeaderLength = 20;
constexpr std::size_t kUdpHeaderLength = 8;
constexpr std::uint8_t kIpProtocolUdp = 17;
constexpr std::uint16_t kIpMoreFragments = 0x2000;
constexpr std::uint16_t kIpFragmentOffset = 0x1FFF;

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

bool CarriesIpv4(int link_type) {
  return std::find(std::begin(kLinkTypes), std::end(kLinkTypes), link_type) != std::end(kLinkTypes);
}

// Where an IPv4 header starts in a frame of `link_type`: false when the link-layer header says
// the frame carries something else or is not wholly captured.
bool FindIpv4(int link_type, const std::uint8_t* bytes, std::size_t captured, std::size_t& at) {
  switch (link_type) {
    case kLinkEthernet: {
      if (captured < kEthernetHeaderLength) return false;
      std::size_t type_at = 12;
      std::uint16_t type = Be16(bytes + type_at);
      while (type == kEtherTypeVlan || type == kEtherTypeQinQ || type == kEtherTypeQinQOld) {
        type_at += kVlanTagLength;
        if (type_at + 2 > captured) return false;
        type = Be16(bytes + type_at);
      }
      at = type_at + 2;
      return type == kEtherTypeIpv4;
    }
    case kLinkLinuxSll:
      at = kSllHeaderLength;
      return captured >= at && Be16(bytes + 14) == kEtherTypeIpv4;
    case kLinkLinuxSll2:
      at = kSll2HeaderLength;
      return captured >= at && Be16(bytes) == kEtherTypeIpv4;
    case kLinkRawLinux:
    case kLinkRawBsdOs:
    case kLinkRaw:
    case kLinkIpv4:
      at = 0;  // the version in the IP header tells IPv4 from IPv6
      return true;
    case kLinkNull: {
      // The family is in the byte order of the host that captured, which the file does not
      // state for this header: either order of 2 is taken.
      if (captured < kLoopbackHeaderLength) return false;
      const std::uint32_t family = Be32(bytes);
      at = kLoopbackHeaderLength;
      return family == kFamilyIpv4 || family == (kFamilyIpv4 << 24);
    }
    case kLinkLoop:
      at = kLoopbackHeaderLength;
      return captured >= at && Be32(bytes) == kFamilyIpv4;
    default:
      return false;
  }
}

}  // namespace

FrameKind DecodeFrame(int link_type, const std::uint8_t* bytes, std::size_t captured,
                      std::size_t original, CapturedDatagram& datagram) {
  std::size_t ip_at = 0;
  if (!FindIpv4(link_type, bytes, captured, ip_at)) return FrameKind::kOther;
  // The fixed part of the IPv4 header tells whether this is UDP at all; without it the frame
  // is of no known kind.
  if (captured < ip_at + kIpv4MinHeaderLength) return FrameKind::kOther;
  const std::uint8_t* ip = bytes + ip_at;
  if ((ip[0] >> 4) != 4 || ip[9] != kIpProtocolUdp) return FrameKind::kOther;
  const std::size_t header_length = std::size_t{ip[0] & 0x0Fu} * 4;
  const std::size_t total_length = Be16(ip + 2);
  // A writer may state a wire length shorter than what it kept; the bytes kept were there.
  const std::size_t wire = std::max(original, captured);
  if (header_length < kIpv4MinHeaderLength || total_length < header_length + kUdpHeaderLength ||
      total_length > wire - ip_at) {
    return FrameKind::kOther;
  }
  // NUDP datagrams are at most a few kilobytes and never fragmented, so a fragment is no NUDP
  // datagram: neither a later one nor the first of several.
  const std::uint16_t fragment = Be16(ip + 6);
  if ((fragment & kIpFragmentOffset) != 0 || (fragment & kIpMoreFragments) != 0) {
    return FrameKind::kOther;
  }

  // From here the frame is UDP over IPv4: whatever the capture did not keep makes it cut short.
  const std::size_t udp_at = ip_at + header_length;
  const bool cut = captured < wire;
  if (captured < udp_at + kUdpHeaderLength) return cut ? FrameKind::kCutShort : FrameKind::kOther;
  const std::uint8_t* udp = bytes + udp_at;
  const std::size_t udp_length = Be16(udp + 4);
  if (udp_length < kUdpHeaderLength || udp_length > total_length - header_length) {
    return FrameKind::kOther;
  }
  // The end is the UDP length's, not the frame's: Ethernet pads a short frame to 60 bytes.
  if (captured < udp_at + udp_length) return cut ? FrameKind::kCutShort : FrameKind::kOther;

  datagram.from_ip = Be32(ip + 12);
  datagram.to_ip = Be32(ip + 16);
  datagram.from_port = Be16(udp);
  datagram.to_port = Be16(udp + 2);
  datagram.payload = udp + kUdpHeaderLength;
  datagram.payload_length = udp_length - kUdpHeaderLength;
  return FrameKind::kDatagram;
}

struct CaptureFile::Handle {
  explicit Handle(pcap_t* opened) : pcap(opened) {}
  ~Handle() { pcap_close(pcap); }  // closes the file too
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  pcap_t* pcap;
};

CaptureFile::CaptureFile() = default;
CaptureFile::~CaptureFile() = default;

bool CaptureFile::Open(const std::string& path, std::string& error) {
  _handle.reset();
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  // libpcap reads standard input for "-"; a file of that name is meant here.
  const std::string name = path == "-" ? "./-" : path;
  pcap_t* pcap =
      pcap_open_offline_with_tstamp_precision(name.c_str(), PCAP_TSTAMP_PRECISION_NANO, errbuf);
  if (pcap == nullptr) {
    // libpcap names the file in some of its reasons ("x.pcap: No such file or directory") and
    // not in others ("unknown file format"); each is given here after the path as given.
    std::string reason = errbuf;
    if (reason.rfind(name + ": ", 0) == 0) reason.erase(0, name.size() + 2);
    error = path + ": " + reason;
    return false;
  }
  _handle = std::make_unique<Handle>(pcap);
  return Accept(path, error);
}

bool CaptureFile::Open(std::FILE* stream, std::string& error) {
  _handle.reset();
  if (stream == nullptr) {
    error = "no stream to read a capture from";
    return false;
  }
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_t* pcap =
      pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_NANO, errbuf);
  if (pcap == nullptr) {
    std::fclose(stream);  // ours from the call on, even when it is no capture
    error = std::string("capture stream: ") + errbuf;
    return false;
  }
  _handle = std::make_unique<Handle>(pcap);
  return Accept("capture stream", error);
}

bool CaptureFile::Accept(const std::string& name, std::string& error) {
  const int link_type = pcap_datalink(_handle->pcap);
  if (!CarriesIpv4(link_type)) {
    const char* link_name = pcap_datalink_val_to_name(link_type);
    error = name + ": link type " + std::to_string(link_type) + " (" +
            (link_name != nullptr ? link_name : "unknown") + ") carries no IPv4";
    _handle.reset();
    return false;
  }
  _error.clear();
  _frames = 0;
  _cut_short = 0;
  _datagrams = 0;
  return true;
}

CaptureFile::Step CaptureFile::Next(CapturedDatagram& datagram) {
  if (!_handle) {
    _error = "no capture file is open";
    return Step::kDamaged;
  }
  // A pcapng file may hold interfaces of different link types; libpcap 1.10 reports the first
  // interface's for every frame, so that is the one each frame is read by.
  const int link_type = pcap_datalink(_handle->pcap);
  for (;;) {
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    const int got = pcap_next_ex(_handle->pcap, &header, &bytes);
    if (got == PCAP_ERROR_BREAK) return Step::kEnd;  // -2: the file ended between frames
    if (got != 1) {
      _error = pcap_geterr(_handle->pcap);
      return Step::kDamaged;
    }
    ++_frames;
    const FrameKind kind = DecodeFrame(link_type, bytes, header->caplen, header->len, datagram);
    if (kind == FrameKind::kCutShort) ++_cut_short;
    if (kind != FrameKind::kDatagram) continue;
    // Opened with nanosecond precision, tv_usec holds nanoseconds. A pcapng time stamp has 64
    // bits of its own unit and may lie past 2262, where nanoseconds since 1970 end.
    std::int64_t ns = 0;
    if (__builtin_mul_overflow(std::int64_t{header->ts.tv_sec}, 1000000000, &ns) ||
        __builtin_add_overflow(ns, std::int64_t{header->ts.tv_usec}, &ns)) {
      _error = "frame " + std::to_string(_frames) + ": its time stamp (" +
               std::to_string(header->ts.tv_sec) + " s) is past what nanoseconds since 1970 hold";
      return Step::kDamaged;
    }
    datagram.time_ns = ns;
    ++_datagrams;
    return Step::kDatagram;
  }
}

int CaptureFile::SnapLength() const { return _handle ? pcap_snapshot(_handle->pcap) : 0; }

int CaptureFile::LinkType() const { return _handle ? pcap_datalink(_handle->pcap) : -1; }

std::string Ipv4Text(std::uint32_t ip) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFFu, (ip >> 8) & 0xFFu,
                ip & 0xFFu);
  return text;
}

}  // namespace fp
