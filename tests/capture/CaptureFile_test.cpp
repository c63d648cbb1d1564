#include "capture/CaptureFile.h"

#include "tests/support/Bytes.h"
#include "tests/support/TempDir.h"
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <vector>

namespace fp::test {
namespace {

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
// `b` with its big-endian field of `size` bytes at `at` set to `v`.
Bytes Set(Bytes b, std::size_t at, std::size_t v, int size = 1) {
  for (int i = size - 1; i >= 0; --i, v >>= 8) b[at + static_cast<std::size_t>(i)] = v & 0xFF;
  return b;
}

// A UDP datagram as a sender put it on the wire.
struct Udp {
  std::uint32_t from_ip = 0xC0A80114;  // 192.168.1.20
  std::uint16_t from_port = 1234;
  std::uint32_t to_ip = 0xC0A8010A;  // 192.168.1.10
  std::uint16_t to_port = 32100;
  Bytes payload = {0xFF, 0x00, 0x00, 0xFA, 0x05, 0x01, 0x00, 0x00, 0x42};
  std::size_t option_words = 0;  // of the IPv4 header
};

// Its IPv4 packet: header (no checksums, which nothing here reads), then UDP.
Bytes Ipv4(const Udp& u) {
  const std::size_t header = 20 + 4 * u.option_words;
  Bytes b;
  PutBe(b, 0x40 | (header / 4), 1);
  PutBe(b, 0, 1);
  PutBe(b, header + 8 + u.payload.size(), 2);
  PutBe(b, 0x1234, 2);  // identification
  PutBe(b, 0x4000, 2);  // don't fragment
  PutBe(b, 64, 1);
  PutBe(b, 17, 1);
  PutBe(b, 0, 2);
  PutBe(b, u.from_ip, 4);
  PutBe(b, u.to_ip, 4);
  b.insert(b.end(), 4 * u.option_words, 0x01);  // no-operation options
  PutBe(b, u.from_port, 2);
  PutBe(b, u.to_port, 2);
  PutBe(b, 8 + u.payload.size(), 2);
  PutBe(b, 0, 2);
  return Cat({b, u.payload});
}

// An Ethernet header with a VLAN tag for each of `tags` (their tag protocol identifiers).
Bytes Ethernet(std::initializer_list<unsigned> tags = {}, unsigned type = 0x0800) {
  Bytes b = {0x02, 0, 0, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0x02};
  for (unsigned tpid : tags) {
    PutBe(b, tpid, 2);
    PutBe(b, 0x0064, 2);  // VLAN 100
  }
  PutBe(b, type, 2);
  return b;
}

const Bytes kSll = {0, 0, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0, 0x08, 0x00};
const Bytes kSll2 = {0x08, 0x00, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0};
const Bytes kFamilyLittle = {2, 0, 0, 0};
const Bytes kFamilyBig = {0, 0, 0, 2};

struct FrameCase {
  const char* name;
  int link_type;
  Bytes frame;
  FrameKind kind;
  std::size_t original = 0;  // on the wire; 0: as captured
  Udp sent = {};             // what a datagram holds
};

std::vector<FrameCase> FrameCases() {
  const Udp udp;
  const Bytes ip = Ipv4(udp);
  const Bytes ether = Cat({Ethernet(), ip});
  Udp small;
  small.payload = {0xAB, 0xCD};
  Udp options;
  options.option_words = 3;
  const std::size_t udp_length_at = 24;
  return {
      {"Ethernet", 1, ether, FrameKind::kDatagram},
      {"Ethernet802.1Q", 1, Cat({Ethernet({0x8100}), ip}), FrameKind::kDatagram},
      {"EthernetQinQ", 1, Cat({Ethernet({0x88A8, 0x8100}), ip}), FrameKind::kDatagram},
      {"EthernetOldQinQ", 1, Cat({Ethernet({0x9100, 0x8100}), ip}), FrameKind::kDatagram},
      // 14 + 30 bytes, padded to the 60 of the shortest Ethernet frame.
      {"EthernetPadded", 1, Cat({Ethernet(), Ipv4(small), Bytes(16, 0xEE)}), FrameKind::kDatagram,
       0, small},
      {"Ipv4Options", 1, Cat({Ethernet(), Ipv4(options)}), FrameKind::kDatagram, 0, options},
      {"LinuxCooked", 113, Cat({kSll, ip}), FrameKind::kDatagram},
      {"LinuxCookedV2", 276, Cat({kSll2, ip}), FrameKind::kDatagram},
      {"Raw", 101, ip, FrameKind::kDatagram},
      {"RawDltNumber", 12, ip, FrameKind::kDatagram},
      {"RawBsdOs", 14, ip, FrameKind::kDatagram},
      {"RawIpv4", 228, ip, FrameKind::kDatagram},
      {"NullLittleEndian", 0, Cat({kFamilyLittle, ip}), FrameKind::kDatagram},
      {"NullBigEndian", 0, Cat({kFamilyBig, ip}), FrameKind::kDatagram},
      {"Loop", 108, Cat({kFamilyBig, ip}), FrameKind::kDatagram},

      {"CutShort", 1, Bytes(ether.begin(), ether.end() - 3), FrameKind::kCutShort, ether.size()},
      {"CutInUdpHeader", 1, Bytes(ether.begin(), ether.begin() + 40), FrameKind::kCutShort,
       ether.size()},
      {"Arp", 1, Cat({Ethernet({}, 0x0806), Bytes(46, 0)}), FrameKind::kOther},
      {"Ipv6", 101, Set(ip, 0, 0x65), FrameKind::kOther},
      {"HeaderBelowFiveWords", 101, Set(ip, 0, 0x44), FrameKind::kOther},
      {"Tcp", 101, Set(ip, 9, 6), FrameKind::kOther},
      {"FirstOfFragments", 101, Set(ip, 6, 0x2000, 2), FrameKind::kOther},
      {"LaterFragment", 101, Set(ip, 6, 0x0010, 2), FrameKind::kOther},
      {"IpLongerThanFrame", 101, Set(ip, 2, ip.size() + 1, 2), FrameKind::kOther},
      {"IpTooShortForUdp", 101, Set(ip, 2, 27, 2), FrameKind::kOther},
      {"UdpLongerThanIp", 101, Set(ip, udp_length_at, ip.size() - 19, 2), FrameKind::kOther},
      {"UdpBelowItsHeader", 101, Set(ip, udp_length_at, 7, 2), FrameKind::kOther},
      {"CookedIpv6", 113, Cat({Set(kSll, 14, 0x86DD, 2), ip}), FrameKind::kOther},
      {"NullIpv6", 0, Cat({Bytes{24, 0, 0, 0}, ip}), FrameKind::kOther},
      {"LoopLittleEndian", 108, Cat({kFamilyLittle, ip}), FrameKind::kOther},
      {"Wireless", 105, ether, FrameKind::kOther},
  };
}

void ExpectDatagram(const CapturedDatagram& got, const Udp& sent) {
  EXPECT_EQ(got.from_ip, sent.from_ip);
  EXPECT_EQ(got.from_port, sent.from_port);
  EXPECT_EQ(got.to_ip, sent.to_ip);
  EXPECT_EQ(got.to_port, sent.to_port);
  EXPECT_EQ(Bytes(got.payload, got.payload + got.payload_length), sent.payload);
}

// Each frame decodes to its kind; every datagram, cut anywhere, decodes from what is left:
// whole once its payload is in, cut short once its headers are, never read past the cut (the
// prefix is a buffer of its own, which the sanitizer builds watch).
TEST(DecodeFrame, EachLinkTypeAndEveryWayAFrameFailsToAddUp) {
  for (const FrameCase& c : FrameCases()) {
    SCOPED_TRACE(c.name);
    CapturedDatagram got;
    const std::size_t original = c.original != 0 ? c.original : c.frame.size();
    ASSERT_EQ(DecodeFrame(c.link_type, c.frame.data(), c.frame.size(), original, got), c.kind);
    if (c.kind != FrameKind::kDatagram) continue;
    ExpectDatagram(got, c.sent);
    const auto header_end = static_cast<std::size_t>(got.payload - c.frame.data());
    const std::size_t end = header_end + got.payload_length;

    for (std::size_t n = 0; n < c.frame.size(); ++n) {
      SCOPED_TRACE(n);
      const Bytes prefix(c.frame.begin(), c.frame.begin() + static_cast<std::ptrdiff_t>(n));
      CapturedDatagram cut;
      const FrameKind as_cut = DecodeFrame(c.link_type, prefix.data(), n, c.frame.size(), cut);
      // The same bytes as a whole frame on the wire: its headers promise more than it holds.
      const FrameKind as_whole = DecodeFrame(c.link_type, prefix.data(), n, n, cut);
      if (n >= end) {
        EXPECT_EQ(as_cut, FrameKind::kDatagram);
        EXPECT_EQ(as_whole, FrameKind::kDatagram);
        ExpectDatagram(cut, c.sent);
      } else {
        if (n >= header_end) {
          EXPECT_EQ(as_cut, FrameKind::kCutShort);
        }
        EXPECT_NE(as_cut, FrameKind::kDatagram);
        EXPECT_EQ(as_whole, FrameKind::kOther);
      }
    }
  }
  EXPECT_EQ(Ipv4Text(0x7F000001), "127.0.0.1");
  EXPECT_EQ(Ipv4Text(0xC0A801FF), "192.168.1.255");
}

struct Sent {
  std::int64_t time_ns;
  Udp udp;
};

// A classic pcap file: big-endian, nanosecond time stamps, Ethernet, snap length 128.
Bytes Pcap(const std::vector<std::pair<std::int64_t, Bytes>>& frames, std::size_t cut_to = 0,
           unsigned link_type = 1) {
  Bytes b;
  PutBe(b, 0xA1B23C4D, 4);
  PutBe(b, 2, 2);
  PutBe(b, 4, 2);
  PutBe(b, 0, 8);  // time zone, accuracy
  PutBe(b, 128, 4);
  PutBe(b, link_type, 4);
  for (const auto& [time_ns, frame] : frames) {
    const std::size_t kept = cut_to != 0 && frame.size() > cut_to ? cut_to : frame.size();
    PutBe(b, static_cast<std::uint64_t>(time_ns / 1000000000), 4);
    PutBe(b, static_cast<std::uint64_t>(time_ns % 1000000000), 4);
    PutBe(b, kept, 4);
    PutBe(b, frame.size(), 4);
    b.insert(b.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(kept));
  }
  return b;
}

// A pcapng file: little-endian, one Ethernet interface of the default microsecond resolution,
// an Enhanced Packet Block per frame.
Bytes Pcapng(const std::vector<std::pair<std::int64_t, Bytes>>& frames) {
  Bytes b;
  PutLe(b, 0x0A0D0D0A, 4);  // section header
  PutLe(b, 28, 4);
  PutLe(b, 0x1A2B3C4D, 4);
  PutLe(b, 1, 2);
  PutLe(b, 0, 2);
  PutLe(b, ~std::uint64_t{0}, 8);  // section length unknown
  PutLe(b, 28, 4);
  PutLe(b, 1, 4);  // interface description
  PutLe(b, 20, 4);
  PutLe(b, 1, 2);  // Ethernet
  PutLe(b, 0, 2);
  PutLe(b, 0, 4);  // no snap length
  PutLe(b, 20, 4);
  for (const auto& [time_ns, frame] : frames) {
    const std::size_t padded = (frame.size() + 3) / 4 * 4;
    const auto us = static_cast<std::uint64_t>(time_ns / 1000);
    PutLe(b, 6, 4);
    PutLe(b, 32 + padded, 4);
    PutLe(b, 0, 4);  // interface 0
    PutLe(b, us >> 32, 4);
    PutLe(b, us & 0xFFFFFFFF, 4);
    PutLe(b, frame.size(), 4);
    PutLe(b, frame.size(), 4);
    b.insert(b.end(), frame.begin(), frame.end());
    b.insert(b.end(), padded - frame.size(), 0);
    PutLe(b, 32 + padded, 4);
  }
  return b;
}

// A file's datagrams read back as they were written, the other frames counted and skipped; the
// same file cut inside its last frame gives the datagrams before it, then kDamaged.
TEST(CaptureFile, ReadsPcapAndPcapngWrittenByHand) {
  TempDir dir("capture_test");
  Udp command{0x7F000002, 32100, 0x7F000001, 1234, {0xFF, 0x00, 0x00, 0xFA, 0x05, 0x01, 0, 0}};
  Udp answer{0x7F000001, 1234, 0x7F000002, 32100, {0xFF, 0x00, 0x00, 0x05, 0x01, 0, 0, 0, 7}};
  Udp raw{0x7F000001, 1234, 0x7F000002, 32100, Bytes(1032, 0x5A)};
  const std::vector<Sent> sent = {{1765000000123456789, command}, {1765000001000000001, answer}};
  const std::vector<Sent> sent_us = {{1765000000123456000, command}, {1765000001000001000, answer}};
  const Bytes arp = Cat({Ethernet({}, 0x0806), Bytes(46, 0)});
  auto frame = [](const Sent& s) { return std::pair{s.time_ns, Cat({Ethernet(), Ipv4(s.udp)})}; };

  struct FileCase {
    const char* name;
    Bytes bytes;
    std::vector<Sent> datagrams;
    std::uint64_t frames;
    std::uint64_t cut_short;
  };
  const std::vector<FileCase> files = {
      // The RAW packet is kept to the file's snap length.
      {"pcap",
       Pcap({frame(sent[0]),
             {1765000000500000000, arp},
             frame({1765000000600000000, raw}),
             frame(sent[1])},
            /*cut_to=*/128),
       sent, 4, 1},
      {"pcapng", Pcapng({frame(sent_us[0]), frame(sent_us[1])}), sent_us, 2, 0},
  };
  for (const FileCase& f : files) {
    SCOPED_TRACE(f.name);
    const std::string path = dir.File(f.name);
    WriteBytes(path, f.bytes);
    CaptureFile file;
    std::string error;
    ASSERT_TRUE(file.Open(path, error)) << error;
    EXPECT_EQ(file.LinkType(), 1);
    CapturedDatagram got;
    for (const Sent& s : f.datagrams) {
      ASSERT_EQ(file.Next(got), CaptureFile::Step::kDatagram) << file.Error();
      EXPECT_EQ(got.time_ns, s.time_ns);
      ExpectDatagram(got, s.udp);
    }
    EXPECT_EQ(file.Next(got), CaptureFile::Step::kEnd) << file.Error();
    EXPECT_EQ(file.Frames(), f.frames);
    EXPECT_EQ(file.CutShortFrames(), f.cut_short);

    const Bytes cut(f.bytes.begin(), f.bytes.end() - 5);
    CaptureFile damaged;
    ASSERT_TRUE(
        damaged.Open(fmemopen(const_cast<std::uint8_t*>(cut.data()), cut.size(), "rb"), error))
        << error;
    for (std::size_t i = 0; i + 1 < f.datagrams.size(); ++i) {
      ASSERT_EQ(damaged.Next(got), CaptureFile::Step::kDatagram) << damaged.Error();
    }
    EXPECT_EQ(damaged.Next(got), CaptureFile::Step::kDamaged);
    EXPECT_NE(damaged.Error().find("truncated"), std::string::npos) << damaged.Error();
  }
  CaptureFile pcap;
  std::string error;
  ASSERT_TRUE(pcap.Open(dir.File("pcap"), error));
  EXPECT_EQ(pcap.SnapLength(), 128);

  // A pcapng time stamp past 2262, where nanoseconds since 1970 end, makes its frame damaged.
  WriteBytes(dir.File("future"),
             Set(Pcapng({frame(sent_us[0])}), /*top of the time's high word=*/63, 0x40));
  CaptureFile future;
  ASSERT_TRUE(future.Open(dir.File("future"), error)) << error;
  CapturedDatagram got;
  EXPECT_EQ(future.Next(got), CaptureFile::Step::kDamaged);
  EXPECT_NE(future.Error().find("time stamp"), std::string::npos) << future.Error();

  // What is no capture of IPv4 is refused with its reason.
  WriteBytes(dir.File("text"),
             {'n', 'o', 't', ' ', 'a', ' ', 'c', 'a', 'p', 't', 'u', 'r', 'e', '\n'});
  WriteBytes(dir.File("wireless"), Pcap({}, 0, /*link_type=*/105));
  const std::pair<std::string, std::string> refusals[] = {
      {dir.File("text"), dir.File("text") + ": "},
      {dir.File("absent"), "No such file"},
      {dir.File("wireless"), "link type 105 (IEEE802_11) carries no IPv4"},
  };
  for (const auto& [path, reason] : refusals) {
    CaptureFile file;
    EXPECT_FALSE(file.Open(path, error));
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace fp::test
