#include "nudp/NudpSocket.h"

#include "base/LogStream.h"
#include "net/Address.h"

#include <cstdio>
#include <cstring>

namespace fp {

NudpSocket::NudpSocket(SocketHandler& handler)
    : UdpSocket(handler, static_cast<std::int32_t>(NUDP_MAX_PACKET_LENGTH)) {
  _at_line = "NudpSocket::OnRawData() (at ):\n";  // no local address before Bind
  _cmd_packet[0] = NUDP_SIGNATURE_0;
  _cmd_packet[1] = NUDP_SIGNATURE_1;
  // At line rate a whole image arrives in about 73 ms; a kernel buffer that holds all of it
  // means a receiving thread that is late by a few milliseconds loses nothing.
  _receive_buffer = RequestReceiveBuffer(kReceiveBufferRequest);
}

NudpSocket::~NudpSocket() { WriteLog("NudpSocket deleted.\n\n"); }

NudpCounts NudpSocket::Counts() const {
  NudpCounts counts;
  ForEachCount(counts, _counts, [](const char*, std::uint64_t& to, const auto& from) {
    to = from.load(std::memory_order_relaxed);
  });
  return counts;
}

void NudpSocket::WriteLog(const char* text) const { WriteLog(text, std::strlen(text)); }

void NudpSocket::WriteLog(const char* text, std::size_t length) const {
  if (_log != nullptr) _log->Write(text, length);
}

void NudpSocket::WriteErrLog(const char* text) const {
  const std::size_t length = std::strlen(text);
  if (_log != nullptr) _log->Write(text, length);
  if (_err_log != nullptr) _err_log->Write(text, length);
}

std::int32_t NudpSocket::Bind(std::uint32_t address, std::uint16_t port) {
  AddressToText(address, _local_address);
  char port_text[8];
  std::snprintf(port_text, sizeof port_text, "%u", static_cast<unsigned>(port));
  _local_address += ':';
  _local_address += port_text;
  _at_line = "NudpSocket::OnRawData() (at " + _local_address + "):\n";
  std::uint16_t try_port = port;
  return UdpSocket::Bind(address, try_port, /*range=*/1);
}

bool NudpSocket::Open(std::uint32_t address, std::uint16_t port) {
  WriteLog("NudpSocket::Open():\n");
  if (State() != NUDP_CLOSED) {
    WriteErrLog("Socket still in use.\n\n");
    return false;
  }
  if (!UdpSocket::Open(address, port)) {
    WriteErrLog("UdpSocket::Open() failed.\n\n");
    return false;
  }
  _remote_ip = address;
  _remote_port = port;
  _from_line.Clear();
  _starts_unanswered = 0;
  _state.store(NUDP_READY);
  WriteLog("CLOSED->READY.\n\n");
  return true;
}

bool NudpSocket::Suspend() {
  WriteLog("NudpSocket::Suspend():\n");
  // Bit 0 alone decides, so a READY|CMD_ERR socket may be suspended too.
  if ((State() & NUDP_READY) == 0) {
    WriteErrLog("Socket state is not READY.\n\n");
    return false;
  }
  _state.store(NUDP_CLOSED);
  WriteLog("READY->CLOSED.\n\n");
  return true;
}

bool NudpSocket::SendCmd(std::uint8_t top, std::uint32_t number) {
  WriteLog("NudpSocket::SendCmd():\n");
  if (top > NUDP_MAX_SEND_TOP) {
    WriteErrLog("TOP > 6 (not allowed), packet not sent.\n\n");
    return false;
  }
  if (HasCommandError()) {
    WriteLog("NUDP_CMD_ERR flag cleared.\n");
    _state.fetch_and(static_cast<std::uint8_t>(~NUDP_CMD_ERR));
  }
  if (!IsReady()) {
    WriteErrLog("Socket state != READY, packet not sent.\n\n");
    return false;
  }
  const bool start_raw = IsStartRawCommand(number);
  if (start_raw) {
    if (IsTakingData()) {
      WriteErrLog("Cannot send command 0x08 while receiving RAW data.\n\n");
      return false;
    }
    WriteLog("Command to send is 0x08: start RAW data dumping.\n");
    ClearPacketMap();
    _start_answered = false;
    // The buffer this image goes to (none when it was handed back and no other was set).
    _prepared = _image.load();
  }
  MoveState(NUDP_WAITING);

  const NudpHeader command = BuildCommandHeader(top, number);
  std::memcpy(_cmd_packet.data(), command.data(), command.size());
  _expected = BuildExpectedResponse(command);
  if (start_raw) {
    _start_expected = _expected;
    ++_starts_unanswered;
    // RAW data may overtake the camera's answer; it is accepted from before the command leaves.
    _state.fetch_or(NUDP_RAW_DATA);
  }
  SendBuf(_cmd_packet.data(), NUDP_HEADER_LENGTH, /*flags=*/0);

  std::string remote;
  AddressToText(_remote_ip, remote);
  char text[128];
  std::snprintf(text, sizeof text,
                "To: %s:%u\nNumber field: %.8X\nData length: %u\nREADY->WAITING\n\n",
                remote.c_str(), static_cast<unsigned>(_remote_port), WireOrderForLog(number), 0u);
  WriteLog(text);
  return true;
}

bool NudpSocket::GetResponse(std::uint32_t* number, std::uint8_t* data, std::uint32_t* length,
                             std::size_t capacity) const {
  if (!IsReady()) {
    WriteErrLog("NudpSocket::GetResponse():\nState is not READY.\n\n");
    return false;
  }
  if (number != nullptr) *number = ReadNumberField(_response.data());
  if (data != nullptr && length != nullptr && _response_length != 0) {
    std::size_t copied = _response_length;
    if (copied > capacity) {
      copied = capacity;
      char text[128];
      std::snprintf(text, sizeof text,
                    "NudpSocket::GetResponse():\nResponse data (%u bytes) cut to %zu bytes.\n\n",
                    _response_length, capacity);
      WriteErrLog(text);
    }
    std::memcpy(data, _response.data() + NUDP_HEADER_LENGTH, copied);
    *length = static_cast<std::uint32_t>(copied);
  }
  return true;
}

void NudpSocket::StopWaiting() {
  WriteLog("NudpSocket::StopWaiting():\n");
  const std::uint8_t state = State();
  if (NudpIsWaiting(state)) {
    MoveState(NUDP_READY);
    WriteLog("WAITING->READY\n\n");
  } else {
    WriteLog("State is not WAITING.\n\n");
  }
}

bool NudpSocket::PrepareForData(std::uint8_t* image) {
  if (IsTakingData()) {
    WriteErrLog("NudpSocket::PrepareForData():\nCannot change setup while receiving RAW data.\n\n");
    return false;
  }
  ClearPacketMap();
  _image.store(image);
  _kept.store(nullptr);
  return true;
}

void NudpSocket::StopData() {
  const std::uint8_t state =
      _state.fetch_and(static_cast<std::uint8_t>(~NUDP_RAW_DATA)) & ~NUDP_RAW_DATA;
  _image.store(nullptr);
  char text[128];
  std::snprintf(text, sizeof text, "NudpSocket::StopData():\nNUDP state: %X.\n\n",
                static_cast<unsigned>(state));
  WriteLog(text);
}

void NudpSocket::ResumeData() {
  // What came early is not this exposure's: only a retransmission fills its place. Copies of it
  // are still compared with the early data, so that repeats of it stay plain duplicates.
  for (auto& entry : _packet_map) {
    if (IsStored(entry.load(std::memory_order_relaxed))) {
      entry.store(kPacketInConflict, std::memory_order_relaxed);
    }
  }
  _raw_count.store(0);
  _image.store(_prepared);
  _state.fetch_or(NUDP_RAW_DATA);
}

void NudpSocket::HandOver() {
  _kept.store(nullptr);
  _prepared = nullptr;
}

void NudpSocket::MoveState(std::uint8_t to) {
  _state.store(static_cast<std::uint8_t>((State() & ~NUDP_STATE_MASK) | to));
}

void NudpSocket::ClearRawDataFlag() { _state.fetch_and(static_cast<std::uint8_t>(~NUDP_RAW_DATA)); }

void NudpSocket::TakeStreamAsAnswer() {
  if (_starts_unanswered > 0) --_starts_unanswered;
  _start_answered = true;
}

bool NudpSocket::PacketStored(int index) const {
  if (index < 0 || index >= RAW_PACKETS_PER_IMAGE) return false;
  return IsStored(_packet_map[static_cast<std::size_t>(index)].load(std::memory_order_relaxed));
}

void NudpSocket::ClearPacketMap() {
  for (auto& entry : _packet_map) entry.store(kPacketMissing, std::memory_order_relaxed);
  _raw_count.store(0);
  _last_packet.store(0);
}

}  // namespace fp
