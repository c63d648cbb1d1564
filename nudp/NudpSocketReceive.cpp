// The receive path of NudpSocket: checks every datagram, stores RAW data packets in the image
// and matches camera responses against the header the last command expects.

#include "base/LogStream.h"
#include "net/Address.h"
#include "nudp/NudpSocket.h"

#include <cstdio>
#include <cstring>
#include <netinet/in.h>

namespace fp {

// Collects the informational lines of one datagram and writes them to the driver log in one
// piece. Before any error line is written the collected text goes out first, so the log reads
// exactly as if every line had been written on its own. Nothing is formatted without a log.
class NudpSocket::Trace {
 public:
  explicit Trace(LogStream* log) : _log(log != nullptr && log->IsOpen() ? log : nullptr) {}
  ~Trace() { Flush(); }
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  bool On() const { return _log != nullptr; }
  TextBuilder<512>& Text() { return _text; }
  void Add(std::string_view text) {
    if (On()) _text.Append(text);
  }
  void Flush() {
    if (On() && !_text.Empty()) {
      _log->Write(_text.Data(), _text.Length());
      _text.Clear();
    }
  }

 private:
  LogStream* _log;
  TextBuilder<512> _text;
};

void NudpSocket::OnRawData(const std::uint8_t* data, std::size_t length,
                           const struct sockaddr* from, std::uint32_t from_length) {
  CountOne(_counts.received);
  Trace trace(_log);
  trace.Add(_at_line);
  if (from_length != sizeof(sockaddr_in)) {
    CountOne(_counts.foreign);
    return;
  }

  sockaddr_in source;
  std::memcpy(&source, from, sizeof source);
  const std::uint32_t ip = source.sin_addr.s_addr;
  const std::uint16_t port = ntohs(source.sin_port);
  if (trace.On()) {
    if (_from_line.Empty() || ip != _from_ip || port != _from_port) {
      std::string address;
      AddressToText(ip, address);
      _from_line.Clear();
      _from_line.Append("From: ").Append(address).Append(":").AppendDecimal(port).Append("\n");
      _from_ip = ip;
      _from_port = port;
    }
    trace.Add(_from_line.View());
  }
  if (ip != _remote_ip || port != _remote_port) {
    CountOne(_counts.foreign);
    trace.Flush();
    WriteErrLog("Unexpected sender.\n\n");
    return;
  }
  // Read once an outage is noticed, never to order anything else: relaxed.
  _last_heard_ns.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count(),
                       std::memory_order_relaxed);

  static_assert(NUDP_HEADER_LENGTH == 8 && NUDP_MAX_PACKET_LENGTH == 1032);
  if (length > NUDP_MAX_PACKET_LENGTH) {
    // The socket layer never hands over more than its 1032-byte buffer; a caller that does
    // must not overrun the response buffer.
    CountOne(_counts.damaged);
    trace.Flush();
    WriteErrLog("UDP packet length > 1032.\n\n");
    return;
  }
  switch (ClassifyDatagram(data, length)) {
    case NudpKind::kTooShort:
      CountOne(_counts.damaged);
      trace.Flush();
      WriteErrLog("UDP packet length < 8.\n\n");
      return;
    case NudpKind::kNoSignature:
      CountOne(_counts.damaged);
      trace.Flush();
      WriteErrLog("No NUDP signature.\n\n");
      return;
    case NudpKind::kRawData:
    case NudpKind::kResponse:
      break;
  }

  // Readers look at _packet_arrived first, so the TOP it vouches for is in place before it.
  _last_top.store(data[2] & NUDP_TOP_MASK);
  _packet_arrived.store(true);
  if (data[2] == NUDP_RAW_TOP_BYTE) {
    OnRawDataPacket(data, length, trace);
  } else {
    OnResponsePacket(data, length, trace);
  }
}

void NudpSocket::OnRawDataPacket(const std::uint8_t* data, std::size_t length, Trace& trace) {
  trace.Add("RAW data packet.\n");
  CountOne(_counts.raw);
  if (!NudpChecksumOk(data)) {
    CountOne(_counts.damaged);
    trace.Flush();
    WriteErrLog("Checksum is not correct.\n\n");
    return;
  }
  if (!IsTakingData()) {
    OnLateRawPacket(data, length, trace);
    return;
  }
  const std::uint32_t number = ReadNumberField(data);
  const std::uint64_t offset = RawByteOffset(number);
  const std::uint64_t index = RawPacketIndex(number);
  const std::size_t data_length = length - NUDP_HEADER_LENGTH;
  if (!RawPacketInImage(number, data_length)) {
    // A packet from beyond the image would write past the caller's buffer and the map.
    CountOne(_counts.damaged);
    trace.Flush();
    char text[128];
    std::snprintf(text, sizeof text,
                  "RAW data packet #%llu (offset=%llX) outside the image, dropped.\n\n",
                  static_cast<unsigned long long>(index), static_cast<unsigned long long>(offset));
    WriteErrLog(text);
    return;
  }
  const int packet = static_cast<int>(index);
  if (!RawPacketFillsItsPlace(number, data_length)) {
    // Counted as there, it would leave the rest of its place stale; recovery fetches it whole.
    CountOne(_counts.damaged);
    trace.Flush();
    char text[128];
    std::snprintf(text, sizeof text,
                  "RAW data packet #%d (offset=%X, length=%d) does not fill its place, "
                  "dropped.\n\n",
                  packet, static_cast<unsigned>(offset), static_cast<int>(data_length));
    WriteErrLog(text);
    return;
  }
  auto& mark = _packet_map[static_cast<std::size_t>(packet)];
  const std::uint8_t entry = mark.load(std::memory_order_relaxed);
  if (entry != kPacketMissing) {
    trace.Flush();
    // A copy is compared with what is stored, which costs a clean stream nothing. Which of two
    // different copies is the camera's cannot be told, so neither counts: the packet is missing
    // again until a retransmission from the camera brings it.
    const std::uint8_t* image = _image.load(std::memory_order_relaxed);
    const bool differs = image != nullptr &&
                         std::memcmp(image + offset, data + NUDP_HEADER_LENGTH, data_length) != 0;
    if (differs) {
      PutInConflict(mark, packet, offset);
    } else {
      CountOne(_counts.duplicates);
      char text[128];
      std::snprintf(text, sizeof text, "RAW data packet #%d (offset=%X) duplicated.\n", packet,
                    static_cast<unsigned>(offset));
      WriteErrLog(text);
    }
  } else {
    std::uint8_t* image = _image.load(std::memory_order_relaxed);
    if (image != nullptr) std::memcpy(image + offset, data + NUDP_HEADER_LENGTH, data_length);
    mark.store(_start_answered ? kPacketStored : kPacketStoredEarly, std::memory_order_relaxed);
    _raw_count.fetch_add(1);
    CountOne(_counts.stored);
    _last_packet.store(packet);
    if (packet == RAW_LAST_PACKET_INDEX) {
      trace.Add("Last RAW data packet in this image.\n");
      trace.Flush();
      StopData();
    }
  }
  if (trace.On()) {
    trace.Text()
        .Append("RAW data packet #")
        .AppendDecimal(packet)
        .Append(" (offset=")
        .AppendHex(offset)
        .Append(", length=")
        .AppendDecimal(static_cast<std::int64_t>(data_length))
        .Append(") parsed.\n\n");
  }
}

void NudpSocket::PutInConflict(std::atomic<std::uint8_t>& mark, int packet, std::uint64_t offset) {
  if (IsStored(mark.load(std::memory_order_relaxed))) {
    mark.store(kPacketInConflict, std::memory_order_relaxed);
    _raw_count.fetch_sub(1);
  }
  CountOne(_counts.conflicts);
  char text[128];
  std::snprintf(text, sizeof text,
                "RAW data packet #%d (offset=%X) duplicated with other data: counted as "
                "missing.\n",
                packet, static_cast<unsigned>(offset));
  WriteErrLog(text);
}

void NudpSocket::OnLateRawPacket(const std::uint8_t* data, std::size_t length, Trace& trace) {
  // The transfer has ended, but while its image is kept a copy still tells whether what was
  // stored is this exposure's.
  const std::uint8_t* kept = _kept.load(std::memory_order_relaxed);
  const std::uint32_t number = ReadNumberField(data);
  const std::size_t data_length = length - NUDP_HEADER_LENGTH;
  if (kept != nullptr && RawPacketInImage(number, data_length) &&
      RawPacketFillsItsPlace(number, data_length)) {
    const auto packet = static_cast<int>(RawPacketIndex(number));
    const std::uint64_t offset = RawByteOffset(number);
    auto& mark = _packet_map[static_cast<std::size_t>(packet)];
    const std::uint8_t entry = mark.load(std::memory_order_relaxed);
    if (IsStored(entry) &&
        std::memcmp(kept + offset, data + NUDP_HEADER_LENGTH, data_length) != 0) {
      trace.Flush();
      if (entry == kPacketStoredEarly) {
        // Stored before the camera answered: a copy of the exposure before, likely; this one
        // came after the answer. Neither counts until a retransmission brings the packet.
        PutInConflict(mark, packet, offset);
      } else {
        CountOne(_counts.conflicts);
        CountOne(_counts.restarts);
        ClearPacketMap();
        char text[192];
        std::snprintf(text, sizeof text,
                      "RAW data packet #%d (offset=%X) came after its transfer with other data: "
                      "the camera streams without a 0x08 command, the packets stored are "
                      "dropped and the image is fetched again.\n",
                      packet, static_cast<unsigned>(offset));
        WriteErrLog(text);
      }
      return;
    }
  }
  CountOne(_counts.refused);
  trace.Flush();
  WriteErrLog("Socket is not expecting RAW data.\n");
}

void NudpSocket::OnResponsePacket(const std::uint8_t* data, std::size_t length, Trace& trace) {
  trace.Add("Camera response packet.\n");
  if (_starts_unanswered > 0 &&
      std::memcmp(data, _start_expected.data(), NUDP_HEADER_LENGTH) == 0 &&
      TakeStartAnswer(trace)) {
    return;
  }
  const std::uint8_t state = State();
  switch (state & NUDP_STATE_MASK) {
    case NUDP_CLOSED:
      CountOne(_counts.stray_answers);
      trace.Flush();
      WriteErrLog("Socket is suspended!\n");
      break;
    case NUDP_READY:
      CountOne(_counts.stray_answers);
      trace.Flush();
      WriteErrLog("Unexpected packet (not a problem for a driver, but should not happen).\n");
      break;
    case NUDP_WAITING:
      // Only the answer to a TOP 5 command may bring its own bytes 6 and 7. Judged by the
      // command, not the packet: a stray TOP 5 packet must not change what another command
      // waits for.
      if ((_expected[2] & NUDP_TOP_MASK) == NUDP_TOP_FREE_HIGH) AdoptFreeHighBytes(_expected, data);
      if (std::memcmp(data, _expected.data(), NUDP_HEADER_LENGTH) == 0) {
        std::memcpy(_response.data(), data, length);
        _response_length = static_cast<std::uint32_t>(length - NUDP_HEADER_LENGTH);
        MoveState(NUDP_READY);
        if (_expected == _start_expected) _start_answered = true;
        CountOne(_counts.matched_answers);
        trace.Add("WAITING->READY\n");
        break;
      }
      trace.Flush();
      if (NudpChecksumOk(data)) {
        CountOne(_counts.stray_answers);
        WriteErrLog("Unexpected camera response.\nStill WAITING\n");
      } else {
        CountOne(_counts.damaged);
        // A damaged answer is the answer all the same: the camera got the command.
        if (_expected == _start_expected && _starts_unanswered > 0) --_starts_unanswered;
        MoveState(NUDP_READY | NUDP_CMD_ERR);
        WriteErrLog("Response damaged (bad checksum).\nWAITING->READY|CMD_ERR\n");
      }
      break;
    default:  // READY|CMD_ERR: the exchange is over, the packet is dropped silently
      CountOne(_counts.stray_answers);
      break;
  }
  trace.Add("Camera response packet parsed.\n\n");
}

bool NudpSocket::TakeStartAnswer(Trace& trace) {
  --_starts_unanswered;
  const std::uint8_t state = State();
  const bool awaited = NudpIsWaiting(state) && _expected == _start_expected;
  std::uint8_t* kept = _kept.load(std::memory_order_relaxed);
  // The answer a 0x08 waits for, or a late one after the image was handed over: handled as any
  // other.
  if (awaited) return false;
  if (!NudpIsTakingData(state) && kept == nullptr) {
    _stray_starts.fetch_add(1);
    return false;
  }
  // A camera starts a new exposure on each 0x08 and sends it after its answer: what was stored
  // before this answer belongs to an exposure the camera has left. After the transfer's end
  // (while the image is still kept) the new exposure's stream is taken too.
  ClearPacketMap();
  _start_answered = true;
  if (!NudpIsTakingData(state)) {
    _image.store(kept);
    _state.fetch_or(NUDP_RAW_DATA);
  }
  CountOne(_counts.restarts);
  trace.Flush();
  WriteErrLog(
      "Answer to a repeated 0x08 command: the camera started its image again, the packets "
      "stored before are dropped.\n");
  trace.Add("Camera response packet parsed.\n\n");
  return true;
}

}  // namespace fp
