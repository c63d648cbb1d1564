#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fp {

// NUDP packet layout: an 8-byte header, then 0 to 1024 data bytes; no length field, the data
// length is the datagram length minus 8.
//
//   byte 0    0xFF   signature
//   byte 1    0x00   signature
//   byte 2    TOP in bits 0-3; bit 7 set in every camera response; RAW data is exactly 0x07
//   byte 3    checksum: complement of the sum of bytes 0-2 and 4-7, modulo 256
//   bytes 4-7 number field, least significant byte first

inline constexpr std::size_t NUDP_HEADER_LENGTH = 8;
inline constexpr std::size_t NUDP_MAX_DATA_LENGTH = 1024;
inline constexpr std::size_t NUDP_MAX_PACKET_LENGTH = NUDP_HEADER_LENGTH + NUDP_MAX_DATA_LENGTH;

inline constexpr std::size_t RAW_PACKET_DATA_LENGTH =
    1024;  // also the byte distance of two indices
inline constexpr int RAW_PACKETS_PER_IMAGE = 8248;
inline constexpr std::size_t RAW_IMAGE_SIZE = 0x80E000;  // 8248 x 1024 = 8445952 bytes
inline constexpr int RAW_LAST_PACKET_INDEX = 8247;
static_assert(RAW_IMAGE_SIZE == RAW_PACKETS_PER_IMAGE * RAW_PACKET_DATA_LENGTH);

// UDP ports: the camera answers on its port; the driver sends from its own, its watchdog from
// the next one.
inline constexpr std::uint16_t NUDP_CAMERA_PORT = 1234;
inline constexpr std::uint16_t NUDP_DRIVER_PORT = 32100;

inline constexpr std::uint8_t NUDP_SIGNATURE_0 = 0xFF;
inline constexpr std::uint8_t NUDP_SIGNATURE_1 = 0x00;
inline constexpr std::uint8_t NUDP_RESPONSE_FLAG = 0x80;  // in byte 2 of every camera response
inline constexpr std::uint8_t NUDP_TOP_MASK = 0x0F;

// TOP values.
inline constexpr std::uint8_t NUDP_TOP_COMMAND = 0;     // ordinary command and its response
inline constexpr std::uint8_t NUDP_TOP_FREE_HIGH = 5;   // response may change number bytes 6-7
inline constexpr std::uint8_t NUDP_TOP_RETRANSMIT = 6;  // re-send one RAW packet
inline constexpr std::uint8_t NUDP_TOP_RAW_DATA = 7;    // RAW data, camera to host only
inline constexpr std::uint8_t NUDP_MAX_SEND_TOP = 6;
inline constexpr std::uint8_t NUDP_RAW_TOP_BYTE = 0x07;  // the whole byte 2 of a RAW data packet

// Command vocabulary (number fields, TOP 0).
inline constexpr std::uint32_t NUDP_CMD_BINNING_ON = 0x105;
inline constexpr std::uint32_t NUDP_CMD_START_RAW = 0x08;  // any number field with low byte 0x08
inline constexpr std::uint32_t NUDP_CMD_TRANSFER_STATUS = 0x0A;
inline constexpr std::uint32_t NUDP_CMD_IDENTIFY = 0xEF;
inline constexpr std::uint32_t NUDP_CMD_REFRESH = 0xFC;

// Answer layouts.
inline constexpr std::size_t NUDP_STATUS_BYTE = 1;          // data byte of the 0x0A answer
inline constexpr std::uint8_t NUDP_STATUS_FINISHED = 0x10;  // bit of that byte
inline constexpr std::size_t NUDP_ID_TEXT_OFFSET = 10;      // 0xEF answer text starts here

// The text of an 0xEF answer whose first `received` bytes are in `id`: from byte 10 to its zero
// byte or to the end of what was received; empty when the answer holds no text.
inline std::string_view NudpIdText(const std::uint8_t* id, std::size_t received) {
  if (received <= NUDP_ID_TEXT_OFFSET) return {};
  const std::string_view text(reinterpret_cast<const char*>(id) + NUDP_ID_TEXT_OFFSET,
                              received - NUDP_ID_TEXT_OFFSET);
  return text.substr(0, text.find('\0'));
}

// The NUDP state word of a NudpSocket: a state in bits 0-3 plus flags.
inline constexpr std::uint8_t NUDP_CLOSED = 0x00;
inline constexpr std::uint8_t NUDP_READY = 0x01;
inline constexpr std::uint8_t NUDP_WAITING = 0x02;
inline constexpr std::uint8_t NUDP_CMD_ERR = 0x04;   // damaged response; only beside READY
inline constexpr std::uint8_t NUDP_RAW_DATA = 0x10;  // RAW data packets are expected and stored
inline constexpr std::uint8_t NUDP_STATE_MASK = 0x0F;

// Readings of a state word: the state proper (bits 0-3, CMD_ERR included) and the flags.
constexpr bool NudpIsClosed(std::uint8_t state) { return (state & NUDP_STATE_MASK) == NUDP_CLOSED; }
constexpr bool NudpIsWaiting(std::uint8_t state) {
  return (state & NUDP_STATE_MASK) == NUDP_WAITING;
}
// READY with a whole answer held; READY|CMD_ERR is not.
constexpr bool NudpIsReady(std::uint8_t state) { return (state & NUDP_STATE_MASK) == NUDP_READY; }
constexpr bool NudpHasCommandError(std::uint8_t state) { return (state & NUDP_CMD_ERR) != 0; }
constexpr bool NudpIsTakingData(std::uint8_t state) { return (state & NUDP_RAW_DATA) != 0; }

using NudpHeader = std::array<std::uint8_t, NUDP_HEADER_LENGTH>;

// The checksum of an 8-byte header; byte 3 is not part of the sum.
std::uint8_t NudpChecksum(const std::uint8_t* header);

// True when byte 3 of the header holds its checksum.
bool NudpChecksumOk(const std::uint8_t* header);

std::uint32_t ReadNumberField(const std::uint8_t* header);
void WriteNumberField(std::uint8_t* header, std::uint32_t number);

// A command packet: signature, TOP (low nibble only), checksum, number field.
NudpHeader BuildCommandHeader(std::uint8_t top, std::uint32_t number);

// The header the camera must answer a command with: the command's header with the response flag
// set and the checksum recomputed.
NudpHeader BuildExpectedResponse(const NudpHeader& command);

// A TOP 5 answer may carry any value in bytes 6 and 7: take them from the received packet into
// the expected header and recompute its checksum.
void AdoptFreeHighBytes(NudpHeader& expected, const std::uint8_t* received);

enum class NudpKind {
  kTooShort,     // fewer than 8 bytes
  kNoSignature,  // byte 0 not 0xFF or byte 1 not 0x00
  kRawData,      // byte 2 is exactly 0x07
  kResponse,     // anything else with a signature
};

// Sorts a datagram by the rules a receiver applies in order: length, signature, TOP byte.
NudpKind ClassifyDatagram(const std::uint8_t* bytes, std::size_t length);

// Any number field whose low byte is 0x08 starts RAW data dumping.
constexpr bool IsStartRawCommand(std::uint32_t number) {
  return (number & 0xFF) == NUDP_CMD_START_RAW;
}

// RAW data and retransmission number fields count 16-bit words from the start of the image.
constexpr std::uint64_t RawByteOffset(std::uint32_t number) { return std::uint64_t{number} * 2; }
constexpr std::uint64_t RawPacketIndex(std::uint32_t number) {
  return RawByteOffset(number) / RAW_PACKET_DATA_LENGTH;
}
constexpr std::uint32_t RawNumberField(int packet_index) {
  return static_cast<std::uint32_t>(packet_index) * (RAW_PACKET_DATA_LENGTH / 2);
}

// True when `data_length` bytes of RAW data at `number` lie wholly inside the image.
constexpr bool RawPacketInImage(std::uint32_t number, std::size_t data_length) {
  return RawByteOffset(number) < RAW_IMAGE_SIZE &&
         RawByteOffset(number) + data_length <= RAW_IMAGE_SIZE;
}

// True when `data_length` bytes at `number` are exactly one packet's data in one packet's place:
// 1024 bytes at an offset on a packet boundary. Anything else leaves part of that place stale.
constexpr bool RawPacketFillsItsPlace(std::uint32_t number, std::size_t data_length) {
  return data_length == RAW_PACKET_DATA_LENGTH &&
         RawByteOffset(number) % RAW_PACKET_DATA_LENGTH == 0;
}

// Packets `first` to `last` of an image, both included.
struct RawPacketRange {
  int first = 0;
  int last = 0;

  int Count() const { return last - first + 1; }
  friend bool operator==(const RawPacketRange&, const RawPacketRange&) = default;
};

// The packets in `ranges`, summed.
template <typename Ranges>
int PacketsIn(const Ranges& ranges) {
  int sum = 0;
  for (const RawPacketRange& range : ranges) sum += range.Count();
  return sum;
}

// Log lines print a number field as %.8X of its byte-reversed value, so the digits read as
// packet bytes 4 to 7 in wire order (0x105 prints as 05010000).
constexpr std::uint32_t WireOrderForLog(std::uint32_t number) {
  return ((number & 0xFF) << 24) | ((number & 0xFF00) << 8) | ((number >> 8) & 0xFF00) |
         (number >> 24);
}

}  // namespace fp
