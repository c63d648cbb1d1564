// CEthCamera's recovery of the RAW packets missing from an image.

#include "camera/CEthCamera.h"
#include "nudp/NudpSocket.h"

namespace fp {

bool CEthCamera::ReadMissing(std::uint8_t* buffer) {
  const std::int32_t missing = RAW_PACKETS_PER_IMAGE - _nudp->RawCount();
  if (missing <= 0) return true;

  // The map and the count stay as the transfer left them: a fetched packet is in the image,
  // not in the map.
  std::int32_t fetched = 0;
  for (int n = 0; n < RAW_PACKETS_PER_IMAGE && fetched < missing; ++n) {
    if (_nudp->PacketStored(n)) continue;
    std::uint8_t* place =
        buffer == nullptr ? nullptr : buffer + static_cast<std::size_t>(n) * RAW_PACKET_DATA_LENGTH;
    std::uint32_t length = 0;
    if (!SendCmd(RawNumberField(n), NUDP_TOP_RETRANSMIT, nullptr, place, &length,
                 RAW_PACKET_DATA_LENGTH)) {
      LogFormatted(true, "CEthCamera::ReadMissing():\nCannot retransmit packet #%d.\n\n", n);
      return false;
    }
    CountOne(_counts.answered_retransmissions);
    LogFormatted(true, "CEthCamera::ReadMissing():\nPacket #%d retransmitted.\n\n", n);
    CountOne(_counts.fetched_again);
    ++fetched;
  }
  return true;
}

}  // namespace fp
