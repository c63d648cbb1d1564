#include "nudp/NudpProtocol.h"

namespace fp {

std::uint8_t NudpChecksum(const std::uint8_t* header) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < NUDP_HEADER_LENGTH; ++i) {
    if (i != 3) sum += header[i];
  }
  return static_cast<std::uint8_t>(~sum & 0xFF);
}

bool NudpChecksumOk(const std::uint8_t* header) { return NudpChecksum(header) == header[3]; }

std::uint32_t ReadNumberField(const std::uint8_t* header) {
  return std::uint32_t{header[4]} | (std::uint32_t{header[5]} << 8) |
         (std::uint32_t{header[6]} << 16) | (std::uint32_t{header[7]} << 24);
}

void WriteNumberField(std::uint8_t* header, std::uint32_t number) {
  header[4] = static_cast<std::uint8_t>(number & 0xFF);
  header[5] = static_cast<std::uint8_t>((number >> 8) & 0xFF);
  header[6] = static_cast<std::uint8_t>((number >> 16) & 0xFF);
  header[7] = static_cast<std::uint8_t>((number >> 24) & 0xFF);
}

NudpHeader BuildCommandHeader(std::uint8_t top, std::uint32_t number) {
  NudpHeader h{};
  h[0] = NUDP_SIGNATURE_0;
  h[1] = NUDP_SIGNATURE_1;
  h[2] = top & NUDP_TOP_MASK;
  WriteNumberField(h.data(), number);
  h[3] = NudpChecksum(h.data());
  return h;
}

NudpHeader BuildExpectedResponse(const NudpHeader& command) {
  NudpHeader h = command;
  h[2] |= NUDP_RESPONSE_FLAG;
  h[3] = NudpChecksum(h.data());
  return h;
}

void AdoptFreeHighBytes(NudpHeader& expected, const std::uint8_t* received) {
  expected[6] = received[6];
  expected[7] = received[7];
  expected[3] = NudpChecksum(expected.data());
}

NudpKind ClassifyDatagram(const std::uint8_t* bytes, std::size_t length) {
  if (length < NUDP_HEADER_LENGTH) return NudpKind::kTooShort;
  if (bytes[0] != NUDP_SIGNATURE_0 || bytes[1] != NUDP_SIGNATURE_1) return NudpKind::kNoSignature;
  if (bytes[2] == NUDP_RAW_TOP_BYTE) return NudpKind::kRawData;
  return NudpKind::kResponse;
}

}  // namespace fp
