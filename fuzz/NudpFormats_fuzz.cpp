// The NUDP packet formats on arbitrary bytes: classification, checksum, number field and image
// geometry, and the headers built from them, which must always be sound.

#include "nudp/NudpProtocol.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Copied, so that the sanitizer sees a read past the datagram's own bytes.
  const std::vector<std::uint8_t> datagram(data, data + size);
  const fp::NudpKind kind = fp::ClassifyDatagram(datagram.data(), datagram.size());
  if (size < fp::NUDP_HEADER_LENGTH) {
    if (kind != fp::NudpKind::kTooShort) __builtin_trap();
    return 0;
  }
  const std::uint8_t* header = datagram.data();
  const std::uint32_t number = fp::ReadNumberField(header);
  if (fp::NudpChecksumOk(header) != (header[3] == fp::NudpChecksum(header))) __builtin_trap();
  if (kind == fp::NudpKind::kRawData && header[2] != fp::NUDP_RAW_TOP_BYTE) __builtin_trap();

  const std::size_t data_length = size - fp::NUDP_HEADER_LENGTH;
  if (fp::RawPacketInImage(number, data_length)) {
    const std::uint64_t end = fp::RawByteOffset(number) + data_length;
    if (end > fp::RAW_IMAGE_SIZE) __builtin_trap();
    if (fp::RawPacketIndex(number) >= fp::RAW_PACKETS_PER_IMAGE) __builtin_trap();
  }
  if (fp::WireOrderForLog(fp::WireOrderForLog(number)) != number) __builtin_trap();

  const fp::NudpHeader command = fp::BuildCommandHeader(header[2], number);
  if (!fp::NudpChecksumOk(command.data()) || fp::ReadNumberField(command.data()) != number) {
    __builtin_trap();
  }
  fp::NudpHeader expected = fp::BuildExpectedResponse(command);
  if (!fp::NudpChecksumOk(expected.data())) __builtin_trap();
  fp::AdoptFreeHighBytes(expected, header);
  if (!fp::NudpChecksumOk(expected.data()) || expected[6] != header[6] ||
      expected[7] != header[7] || std::memcmp(expected.data(), command.data(), 2) != 0) {
    __builtin_trap();
  }
  return 0;
}
