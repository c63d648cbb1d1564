#pragma once

#include "base/TextBuilder.h"
#include "net/UdpSocket.h"
#include "nudp/NudpCounts.h"
#include "nudp/NudpProtocol.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace fp {

class LogStream;
class SocketHandler;

// The host end of one NUDP conversation with one camera: frames commands, matches the camera's
// responses against the header the last command expects, and stores RAW data packets at their
// place in the caller's image buffer.
//
// A RAW data packet is stored only when it brings exactly one packet's data for one packet's
// place inside the image. A copy of a stored packet that brings other data puts that packet in
// conflict: it counts as missing again, and no further copy is stored, so that only a
// retransmission from the camera fills it. A camera that answers a repeated 0x08 starts its image
// again: an answer to a 0x08 that comes while RAW data is taken, beyond the one awaited, clears
// the packet map (a restart), so that the image is completed from the new exposure alone.
//
// An image is in the socket's keeping from the moment its 0x08 has been taken (KeepImage) until
// the owner hands it over (HandOver), its recovery included; the owner keeps the buffer
// allocated for as long. While it is kept:
// - a RAW data packet that comes after the transfer has ended is still compared with the copy
//   stored: the same data is refused as before; other data is a conflict. When the copy stored
//   came before the camera answered the 0x08 (the last packet of the exposure before, still in
//   flight, say), the packet is missing again and is fetched again, as in a running transfer.
//   When it came after the answer, the camera is streaming once more without a 0x08: which
//   exposure the stored packets belong to can no longer be told, so they are all dropped and
//   the image is fetched again whole (counted as a restart);
// - an answer to an outstanding 0x08 restarts the image as it does during a transfer: the
//   packet map is cleared and RAW data is taken again, into the kept buffer.
//
// The socket holds no lock. Its operations and its receive callback (which runs in whichever
// thread runs the owning handler's Select) must be serialised by the owner. The state readers
// (State, LastTop, TakePacketArrived, RawCount, LastPacket, PacketStored) may be called from any
// thread at any time and always see a whole value.
class NudpSocket : public UdpSocket {
 public:
  explicit NudpSocket(SocketHandler& handler);
  ~NudpSocket() override;

  // The driver's logs, not owned; null for none. Texts are written unstamped.
  void SetLog(LogStream* log) { _log = log; }
  void SetErrLog(LogStream* err_log) { _err_log = err_log; }
  LogStream* Log() const { return _log; }
  LogStream* ErrLog() const { return _err_log; }

  // Binds to `address` (network order) and `port`, or the port above it when that one is
  // taken. Returns 0 when bound, -1 when not (reported by the socket layer).
  std::int32_t Bind(std::uint32_t address, std::uint16_t port);
  // CLOSED -> READY towards the camera. False when the socket is in use or cannot connect.
  bool Open(std::uint32_t address, std::uint16_t port);
  // READY (also READY|CMD_ERR) -> CLOSED, dropping every flag. False in any other state.
  bool Suspend();
  // Sends one command (TOP 0 to 6) and moves READY -> WAITING. A number field with the low
  // byte 0x08 starts RAW data taking: the packet map is cleared and RAW data is accepted from
  // before the command leaves; the 0x08 counts as unanswered until an answer to a 0x08 comes.
  // True when the packet was handed to the socket layer.
  bool SendCmd(std::uint8_t top, std::uint32_t number);
  // Hands over the last accepted response: its number field, and its data with their length
  // when both `data` and `length` are given and the response carried data. At most `capacity`
  // bytes are copied into `data`; a longer answer is cut to `capacity`, `*length` says how many
  // bytes were copied, and the cut is logged as an error. False (nothing written) unless READY.
  bool GetResponse(std::uint32_t* number, std::uint8_t* data, std::uint32_t* length,
                   std::size_t capacity = NUDP_MAX_DATA_LENGTH) const;
  // The caller's response timeout: WAITING -> READY.
  void StopWaiting();
  // Makes `image` (RAW_IMAGE_SIZE bytes, owned by the caller, kept until the transfer ends) the
  // target of RAW data and clears the packet map. False while RAW data is being received.
  bool PrepareForData(std::uint8_t* image);
  // Stops accepting RAW data and forgets the image buffer (a kept image stays kept).
  void StopData();
  // Accepts RAW data again into the image's buffer: for an image whose last packet came alone
  // before the camera's answer, likelier a copy of the exposure before than a whole stream.
  // What was stored is put in conflict, so that only a retransmission fills its place.
  void ResumeData();
  // The buffer of the last 0x08's image is kept from now on: that 0x08 has been taken.
  void KeepImage() { _kept.store(_prepared); }
  // The kept image is the owner's again: nothing is compared with it or stored in it any more,
  // until a buffer is prepared again.
  void HandOver();

  // Clears NUDP_RAW_DATA alone, without touching the image buffer; used by the driver when the
  // 0x08 command was not answered.
  void ClearRawDataFlag();
  // The RAW data that came stands for the answer to the last 0x08, which went unanswered: it no
  // longer counts as unanswered, so that its late answer is not taken for a restart.
  void TakeStreamAsAnswer();

  // State readers, safe from any thread.
  std::uint8_t State() const { return _state.load(); }
  bool IsClosed() const { return NudpIsClosed(State()); }
  bool IsWaiting() const { return NudpIsWaiting(State()); }
  bool IsReady() const { return NudpIsReady(State()); }
  bool HasCommandError() const { return NudpHasCommandError(State()); }
  // RAW data packets are expected and stored.
  bool IsTakingData() const { return NudpIsTakingData(State()); }
  std::uint8_t LastTop() const { return _last_top.load(); }
  // Reads and clears the "a packet arrived" mark.
  bool TakePacketArrived() { return _packet_arrived.exchange(false); }
  std::int32_t RawCount() const { return _raw_count.load(); }
  // Datagrams handed to OnRawData so far, whatever became of them.
  std::uint64_t DatagramsSeen() const { return _counts.received.load(); }
  // What the receive path has seen since the socket was made, by kind. Safe from any thread;
  // each count is whole, the set is not taken at one instant.
  NudpCounts Counts() const;
  // When the last datagram from the camera's address and port came, damaged or not; the
  // clock's epoch before the first. Safe from any thread.
  std::chrono::steady_clock::time_point LastHeard() const {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(_last_heard_ns.load()));
  }
  std::int32_t LastPacket() const { return _last_packet.load(); }
  // True when packet `index` of the image holds data stored from the stream: not missing, and
  // not in conflict.
  bool PacketStored(int index) const;
  // True while an image buffer is set (PrepareForData, until the transfer ends).
  bool HasImage() const { return _image.load() != nullptr; }
  // Restarts of the image since the socket was made: a further answer to 0x08 during a
  // transfer or while the image is kept, or a stream without a 0x08 after the transfer; each
  // one cleared the packet map and the count.
  std::uint64_t Restarts() const { return _counts.restarts.load(); }
  // Answers to an earlier 0x08 that came while no image was kept or taken, since the socket was
  // made: the camera started an exposure nobody takes, and its stream follows.
  std::uint64_t StrayStartAnswers() const { return _stray_starts.load(); }
  // RAW data packets stored since the socket was made; only ever grows.
  std::uint64_t StoredPackets() const { return _counts.stored.load(std::memory_order_relaxed); }
  const std::string& LocalAddress() const { return _local_address; }
  // The kernel receive buffer the socket was granted, in bytes as the kernel counts them (twice
  // what was set); below one image, a receiving thread that is late loses packets.
  std::int32_t ReceiveBufferBytes() const { return _receive_buffer; }

  void OnRawData(const std::uint8_t* data, std::size_t length, const struct sockaddr* from,
                 std::uint32_t from_length) override;

  // The kernel charges each queued datagram the whole buffer it sits in, not its payload: a
  // 1032-byte RAW datagram costs 2304 bytes of the receive buffer (measured on loopback and on a
  // veth link: a buffer of N bytes queues N / 2304 of them, 2.23 times the payload). One image
  // queued whole therefore needs this much buffer as the kernel counts it (19,003,392 bytes).
  static constexpr std::int32_t kKernelBytesPerRawDatagram = 2304;
  static constexpr std::int32_t kImageReceiveBufferBytes =
      RAW_PACKETS_PER_IMAGE * kKernelBytesPerRawDatagram;
  // Kernel receive buffer asked for at construction: the kernel grants twice what is asked, so
  // this queues a whole image while the receiving thread is late. An rmem_max of this many bytes
  // lets an unprivileged process have it.
  static constexpr std::int32_t kReceiveBufferRequest = 10 * 1024 * 1024;
  static_assert(2 * std::int64_t{kReceiveBufferRequest} >= kImageReceiveBufferBytes);

 private:
  class Trace;

  void WriteLog(const char* text) const;
  void WriteLog(const char* text, std::size_t length) const;
  void WriteErrLog(const char* text) const;
  void OnRawDataPacket(const std::uint8_t* data, std::size_t length, Trace& trace);
  void OnResponsePacket(const std::uint8_t* data, std::size_t length, Trace& trace);
  void ClearPacketMap();
  // Counts an answer to 0x08 that came while one was outstanding. True when it is taken as a
  // restart of the image (the map is cleared and the answer needs nothing more); false when it
  // goes the way of every other response.
  bool TakeStartAnswer(Trace& trace);
  // A RAW data packet while none is expected: compared with a kept image's copy, else refused.
  void OnLateRawPacket(const std::uint8_t* data, std::size_t length, Trace& trace);
  // Marks a stored packet as in conflict with a copy of other data: missing again.
  void PutInConflict(std::atomic<std::uint8_t>& mark, int packet, std::uint64_t offset);
  // The one way the connection state moves: clears the state bits (0-3: READY, WAITING,
  // CMD_ERR) and sets `to` there; the flags in bits 4-7 (RAW_DATA) stay.
  void MoveState(std::uint8_t to);

  // Written by the owner's operations and the receive path (serialised by the owner); read
  // from other threads.
  std::atomic<std::uint8_t> _state{NUDP_CLOSED};
  std::atomic<std::uint8_t> _last_top{0};
  NudpHeader _expected{};
  std::array<std::uint8_t, NUDP_MAX_PACKET_LENGTH> _cmd_packet{};
  std::array<std::uint8_t, NUDP_MAX_PACKET_LENGTH> _response{};
  std::atomic<std::uint8_t*> _image{nullptr};  // not owned: the caller's image buffer
  std::uint8_t* _prepared = nullptr;  // the buffer of the last 0x08's image, until handed back
  std::atomic<std::uint8_t*> _kept{nullptr};  // the image in keeping (KeepImage, HandOver)
  // One entry a packet: kPacketMissing, kPacketStored, kPacketStoredEarly (stored before the
  // camera answered the image's 0x08) or kPacketInConflict.
  std::array<std::atomic<std::uint8_t>, RAW_PACKETS_PER_IMAGE> _packet_map{};
  static constexpr std::uint8_t kPacketMissing = 0;
  static constexpr std::uint8_t kPacketStored = 1;
  static constexpr std::uint8_t kPacketInConflict = 2;
  static constexpr std::uint8_t kPacketStoredEarly = 3;
  static bool IsStored(std::uint8_t entry) {
    return entry == kPacketStored || entry == kPacketStoredEarly;
  }
  NudpHeader _start_expected{};  // the answer to the last 0x08 sent
  std::int32_t _starts_unanswered = 0;
  // The camera has answered the image's 0x08 (or its stream stood for the answer): packets
  // stored from now on are of the exposure it started.
  bool _start_answered = true;
  std::atomic<bool> _packet_arrived{false};
  // Written by the receive path only; read from any thread.
  NudpCountsOf<std::atomic<std::uint64_t>> _counts;
  std::atomic<std::int64_t> _last_heard_ns{0};  // steady clock
  std::atomic<std::uint64_t> _stray_starts{0};
  std::atomic<std::int32_t> _raw_count{0};
  std::atomic<std::int32_t> _last_packet{0};
  std::string _local_address;
  std::int32_t _receive_buffer = 0;
  std::uint32_t _remote_ip = 0;
  std::uint16_t _remote_port = 0;
  std::uint32_t _response_length = 0;
  LogStream* _log = nullptr;      // not owned
  LogStream* _err_log = nullptr;  // not owned

  // Trace texts prepared once so the receive path formats only what changes per datagram.
  std::string _at_line;  // "NudpSocket::OnRawData() (at <local address>):\n"
  std::uint32_t _from_ip = 0;
  std::uint16_t _from_port = 0;
  TextBuilder<32> _from_line;  // "From: <address>:<port>\n" of the sender seen last
};

}  // namespace fp
