#include "tools/camsim/PcapWriter.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace fp {

namespace {

constexpr std::uint32_t kPcapMagicMicroseconds = 0xA1B2C3D4;
constexpr std::uint32_t kSnapLength = 65535;
constexpr std::uint8_t kIpProtocolUdp = 17;
constexpr std::uint8_t kTimeToLive = 64;

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v & 0xFF);
  p[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
  p[2] = static_cast<std::uint8_t>((v >> 16) & 0xFF);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v & 0xFF);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutBe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v & 0xFF);
}

// An address held in network byte order, written as its four bytes in that order.
void PutAddress(std::uint8_t* p, std::uint32_t network_order) {
  const std::uint32_t a = ntohl(network_order);
  p[0] = static_cast<std::uint8_t>(a >> 24);
  p[1] = static_cast<std::uint8_t>((a >> 16) & 0xFF);
  p[2] = static_cast<std::uint8_t>((a >> 8) & 0xFF);
  p[3] = static_cast<std::uint8_t>(a & 0xFF);
}

// The ones' complement sum of big-endian 16-bit words, unfolded. Four bytes are added at a time:
// the sum of 32-bit words folds to the same 16-bit sum, in half the steps.
std::uint64_t AddWords(const std::uint8_t* p, std::size_t n, std::uint64_t sum) {
  for (; n >= 4; p += 4, n -= 4) {
    sum += (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
  }
  if (n >= 2) {
    sum += (std::uint32_t{p[0]} << 8) | std::uint32_t{p[1]};
    p += 2;
    n -= 2;
  }
  if (n == 1) sum += std::uint32_t{p[0]} << 8;
  return sum;
}

std::uint64_t AddressWords(std::uint32_t network_order) {
  const std::uint32_t a = ntohl(network_order);
  return std::uint64_t{a >> 16} + (a & 0xFFFF);
}

}  // namespace

std::uint16_t InternetChecksum(const std::uint8_t* bytes, std::size_t length, std::uint64_t sum) {
  sum = AddWords(bytes, length, sum);
  while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

PcapWriter::~PcapWriter() { Close(); }

bool PcapWriter::Open(const std::string& path, std::string& error) {
  Close();
  _error.clear();
  _records = 0;
  _ip_id = 0;
  _fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (_fd < 0) {
    error = "cannot open capture file " + path + ": " + std::strerror(errno);
    return false;
  }
  _path = path;
  std::uint8_t header[24];
  PutLe32(header, kPcapMagicMicroseconds);
  PutLe16(header + 4, /*major=*/2);
  PutLe16(header + 6, /*minor=*/4);
  PutLe32(header + 8, /*thiszone=*/0);
  PutLe32(header + 12, /*sigfigs=*/0);
  PutLe32(header + 16, kSnapLength);
  PutLe32(header + 20, kPcapLinkTypeRaw);
  if (!WriteAll(header, sizeof header)) {
    error = _error;
    ::close(_fd);
    _fd = -1;
    return false;
  }
  if (!_buffer) _buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferBytes);
  _used = 0;
  _written = 0;
  return true;
}

void PcapWriter::Record(const SimEndpoint& from, const SimEndpoint& to,
                        std::chrono::system_clock::time_point time, const std::uint8_t* head,
                        std::size_t head_length, const std::uint8_t* tail,
                        std::size_t tail_length) {
  if (_fd < 0 || !_error.empty()) return;
  if (tail == nullptr) tail_length = 0;
  const std::size_t payload = head_length + tail_length;
  const std::size_t ip_length = kIpv4HeaderLength + kUdpHeaderLength + payload;
  if (ip_length > kSnapLength) return;  // no UDP/IPv4 datagram is that long
  const std::size_t need = kPcapRecordHeaderLength + ip_length;
  if (_used + need > kBufferBytes && !Flush()) return;

  std::uint8_t* record = _buffer.get() + _used;
  const auto since_epoch =
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
  PutLe32(record, static_cast<std::uint32_t>(since_epoch / 1000000));
  PutLe32(record + 4, static_cast<std::uint32_t>(since_epoch % 1000000));
  PutLe32(record + 8, static_cast<std::uint32_t>(ip_length));   // bytes in the file
  PutLe32(record + 12, static_cast<std::uint32_t>(ip_length));  // bytes on the wire

  std::uint8_t* ip = record + kPcapRecordHeaderLength;
  ip[0] = 0x45;  // version 4, header of five 32-bit words
  ip[1] = 0;     // type of service
  PutBe16(ip + 2, static_cast<std::uint16_t>(ip_length));
  PutBe16(ip + 4, _ip_id++);
  PutBe16(ip + 6, 0x4000);  // don't fragment, offset 0
  ip[8] = kTimeToLive;
  ip[9] = kIpProtocolUdp;
  PutBe16(ip + 10, 0);
  PutAddress(ip + 12, from.address);
  PutAddress(ip + 16, to.address);
  PutBe16(ip + 10, InternetChecksum(ip, kIpv4HeaderLength));

  std::uint8_t* udp = ip + kIpv4HeaderLength;
  const auto udp_length = static_cast<std::uint16_t>(kUdpHeaderLength + payload);
  PutBe16(udp, from.port);
  PutBe16(udp + 2, to.port);
  PutBe16(udp + 4, udp_length);
  PutBe16(udp + 6, 0);
  if (head_length > 0) std::memcpy(udp + kUdpHeaderLength, head, head_length);
  if (tail_length > 0) std::memcpy(udp + kUdpHeaderLength + head_length, tail, tail_length);
  // The UDP checksum also covers a pseudo-header: both addresses, the protocol and the length.
  const std::uint64_t pseudo =
      AddressWords(from.address) + AddressWords(to.address) + kIpProtocolUdp + udp_length;
  std::uint16_t checksum = InternetChecksum(udp, udp_length, pseudo);
  if (checksum == 0) checksum = 0xFFFF;  // 0 would mean "no checksum"
  PutBe16(udp + 6, checksum);

  _used += need;
  ++_records;
}

bool PcapWriter::WriteSome(std::size_t max_bytes) {
  if (!_error.empty()) return false;
  if (_fd < 0) return true;
  const std::size_t length = std::min(max_bytes, Buffered());
  const bool ok = WriteAll(_buffer.get() + _written, length);
  _written += length;
  // Records whose writing failed are given up, like all later ones.
  if (!ok || _written == _used) _written = _used = 0;
  return ok;
}

bool PcapWriter::Close() {
  if (_fd < 0) return _error.empty();
  const bool ok = Flush();
  if (::close(_fd) != 0 && _error.empty()) {
    _error = "cannot close capture file " + _path + ": " + std::strerror(errno);
  }
  _fd = -1;
  return ok && _error.empty();
}

bool PcapWriter::WriteAll(const std::uint8_t* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(_fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      _error = "cannot write capture file " + _path + ": " +
               (n < 0 ? std::strerror(errno) : "nothing written");
      return false;
    }
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace fp
