#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace fp {

// A UDP datagram over IPv4 as a capture holds it. The payload points into the reader's buffer
// and stays valid until the next call to CaptureFile::Next.
struct CapturedDatagram {
  std::int64_t time_ns = 0;   // the frame's time stamp, nanoseconds since the epoch
  std::uint32_t from_ip = 0;  // host byte order: 127.0.0.1 is 0x7F000001
  std::uint16_t from_port = 0;
  std::uint32_t to_ip = 0;
  std::uint16_t to_port = 0;
  const std::uint8_t* payload = nullptr;
  std::size_t payload_length = 0;
};

// What one frame of a capture is, once its link-layer, IPv4 and UDP headers are read.
enum class FrameKind {
  kDatagram,  // a whole UDP datagram over IPv4, in `datagram`
  kCutShort,  // a UDP datagram over IPv4 the capture kept only the start of (its snap length)
  kOther,     // anything else: another protocol, a fragment after the first, a header that
              // does not add up
};

// Reads one frame of link type `link_type` (the pcap LINKTYPE_ numbers: Ethernet with any
// number of 802.1Q/802.1ad tags, Linux cooked v1 and v2 as `-i any` takes them, raw IPv4, BSD
// loopback) of which `captured` bytes are at `bytes` and `original` were on the wire. Reads only
// within `captured`; `datagram.payload` points into `bytes`, its time is left as it was.
FrameKind DecodeFrame(int link_type, const std::uint8_t* bytes, std::size_t captured,
                      std::size_t original, CapturedDatagram& datagram);

// A capture file read front to back: pcap or pcapng (as tcpdump, dumpcap and tshark write them,
// any byte order and time-stamp precision), through libpcap. For one thread.
class CaptureFile {
 public:
  CaptureFile();
  ~CaptureFile();
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

  // Opens `path` ("-" is not special); false with a reason in `error` (a missing file, one
  // that is not a capture, a link type that cannot carry IPv4).
  bool Open(const std::string& path, std::string& error);
  // The same over a stream the caller opened (a fuzz target's fmemopen); owns it from then on.
  bool Open(std::FILE* stream, std::string& error);

  enum class Step {
    kDatagram,  // `datagram` holds the next UDP datagram
    kEnd,       // the file ended where a frame may end
    kDamaged,   // the file is damaged or ends inside a frame: the reason in Error()
  };
  // The next UDP datagram over IPv4, skipping every other frame; a frame cut short by the snap
  // length is counted (CutShortFrames) and skipped.
  Step Next(CapturedDatagram& datagram);

  const std::string& Error() const { return _error; }
  std::uint64_t Frames() const { return _frames; }             // read so far, of every kind
  std::uint64_t CutShortFrames() const { return _cut_short; }  // UDP frames cut short
  std::uint64_t Datagrams() const { return _datagrams; }       // UDP datagrams given so far
  int SnapLength() const;                                      // as the file states it
  // libpcap's number for the file's link type: the LINKTYPE_ number but for raw IP, which
  // LINKTYPE_RAW (101) files give as 12. -1 when no file is open.
  int LinkType() const;

 private:
  struct Handle;
  // Keeps the file just opened in _handle when its link type can carry IPv4; else closes it
  // and says why, naming it `name`.
  bool Accept(const std::string& name, std::string& error);

  std::unique_ptr<Handle> _handle;  // the open file; null when none
  std::string _error;
  std::uint64_t _frames = 0;
  std::uint64_t _cut_short = 0;
  std::uint64_t _datagrams = 0;
};

// "192.168.1.20".
std::string Ipv4Text(std::uint32_t ip);

}  // namespace fp
