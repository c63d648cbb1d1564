// CEthCamera's recovery of the RAW packets missing from an image.

#include "camera/CEthCamera.h"
#include "nudp/NudpSocket.h"

namespace fp {

bool CEthCamera::ReadMissing(std::uint8_t* buffer, const std::atomic<bool>* stop,
                             std::int32_t* fetched_out) {
  std::int32_t fetched = 0;
  if (fetched_out != nullptr) *fetched_out = 0;
  const std::int32_t missing = RAW_PACKETS_PER_IMAGE - _nudp->RawCount();
  if (missing <= 0) return true;

  // The map and the count stay as the transfer left them: a fetched packet is in the image,
  // not in the map.
  for (int n = 0; n < RAW_PACKETS_PER_IMAGE && fetched < missing; ++n) {
    if (_nudp->PacketStored(n)) continue;
    if (stop != nullptr && stop->load()) {
      LogFormatted(true, "CEthCamera::ReadMissing():\nStopped by the caller before packet #%d.\n\n",
                   n);
      return false;
    }
    std::uint8_t* place =
        buffer == nullptr ? nullptr : buffer + static_cast<std::size_t>(n) * RAW_PACKET_DATA_LENGTH;
    std::uint32_t length = 0;
    if (!SendCmd(RawNumberField(n), NUDP_TOP_RETRANSMIT, nullptr, place, &length,
                 RAW_PACKET_DATA_LENGTH)) {
      LogFormatted(true, "CEthCamera::ReadMissing():\nCannot retransmit packet #%d.\n\n", n);
      return false;
    }
    LogFormatted(true, "CEthCamera::ReadMissing():\nPacket #%d retransmitted.\n\n", n);
    ++fetched;
    if (fetched_out != nullptr) *fetched_out = fetched;
  }
  return true;
}

}  // namespace fp
