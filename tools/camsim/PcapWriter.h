#pragma once

#include "tools/camsim/SimSocket.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace fp {

// Link type of the records: each starts with its IPv4 header, no link-layer header before it.
inline constexpr std::uint32_t kPcapLinkTypeRaw = 101;
// Bytes in front of a UDP payload in a record: 16 of record header, 20 of IPv4 header (no
// options) and 8 of UDP header.
inline constexpr std::size_t kPcapRecordHeaderLength = 16;
inline constexpr std::size_t kIpv4HeaderLength = 20;
inline constexpr std::size_t kUdpHeaderLength = 8;

// Writes UDP/IPv4 datagrams to a file in the classic pcap format (microsecond time stamps,
// little-endian, link type raw IPv4), so that a capture tool shows them as if they had been
// taken off the wire: every record carries an IPv4 and a UDP header with both checksums
// computed. Records collect in memory and reach the file in large writes, so that recording a
// stream of datagrams costs no system call per datagram: a record that does not fit the buffer
// any more writes it first, WriteSome() and Flush() write it on demand. Owns its file descriptor
// (-1 = none); Close() and the destructor write what is buffered and close it. Used by one thread
// at a time.
class PcapWriter {
 public:
  // Memory for this many bytes of records is set aside (and touched only as it fills): a whole
  // image of RAW datagrams takes about 8.9 MB.
  static constexpr std::size_t kBufferBytes = 32 * 1024 * 1024;

  PcapWriter() = default;
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Creates or truncates `path` and writes the file header to it at once. Returns false, with
  // a reason in `error`, when the file cannot be opened or written; nothing is open then.
  bool Open(const std::string& path, std::string& error);

  // Appends one datagram sent from `from` to `to` at `time`, its payload `head` followed by
  // `tail` (which may be null when `tail_length` is 0). Nothing is recorded when no file is
  // open or a write has failed.
  void Record(const SimEndpoint& from, const SimEndpoint& to,
              std::chrono::system_clock::time_point time, const std::uint8_t* head,
              std::size_t head_length, const std::uint8_t* tail = nullptr,
              std::size_t tail_length = 0);

  // Bytes of records waiting in memory.
  std::size_t Buffered() const { return _used - _written; }
  // Datagrams recorded so far (buffered or written).
  std::uint64_t Records() const { return _records; }

  // Writes the oldest `max_bytes` of the buffered records (all, when fewer are waiting) to the
  // file, so that a caller can spread a large write over several turns. Returns false when a
  // write failed, now or before; the reason is in Error(), and from then on nothing more is
  // recorded.
  bool WriteSome(std::size_t max_bytes);
  // Writes all buffered records; returns as WriteSome().
  bool Flush() { return WriteSome(Buffered()); }
  // Flushes and closes the file; idempotent. Returns what Flush() returned.
  bool Close();

  bool IsOpen() const { return _fd >= 0; }
  const std::string& Error() const { return _error; }
  const std::string& Path() const { return _path; }

 private:
  bool WriteAll(const std::uint8_t* bytes, std::size_t length);

  int _fd = -1;
  std::string _path;
  std::unique_ptr<std::uint8_t[]> _buffer;  // kBufferBytes, allocated by Open()
  std::size_t _used = 0;                    // bytes of records in _buffer
  std::size_t _written = 0;                 // of those, already in the file
  std::uint16_t _ip_id = 0;                 // IPv4 identification of the next record
  std::uint64_t _records = 0;
  std::string _error;  // the first failed write, or empty
};

// The internet checksum (ones' complement of the ones' complement sum of 16-bit big-endian
// words) of `length` bytes, continuing the unfolded `sum` of bytes before them; an odd last
// byte is padded with zero. Used for the IPv4 header and, with the pseudo-header's sum as
// `sum`, for the UDP checksum.
std::uint16_t InternetChecksum(const std::uint8_t* bytes, std::size_t length,
                               std::uint64_t sum = 0);

}  // namespace fp
