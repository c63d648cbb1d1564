// CEthCamera's recovery of the RAW packets missing from an image, and what is missing after it.

#include "camera/CEthCamera.h"
#include "nudp/NudpSocket.h"

#include <array>
#include <cstring>

namespace fp {

bool CEthCamera::ReadMissing(std::uint8_t* buffer, const std::atomic<bool>* stop) {
  // Without a buffer the transfer stored nothing, whatever the socket counted.
  const bool none_stored = _no_buffer.load();
  const std::int32_t missing =
      none_stored ? RAW_PACKETS_PER_IMAGE : RAW_PACKETS_PER_IMAGE - _nudp->RawCount();
  if (missing <= 0) return true;

  // The map and the count stay as the transfer left them: a fetched packet is in the image,
  // not in the map.
  std::int32_t fetched = 0;
  for (int n = 0; n < RAW_PACKETS_PER_IMAGE && fetched < missing; ++n) {
    if (!none_stored && _nudp->PacketStored(n)) continue;
    if (stop != nullptr && stop->load()) {
      LogFormatted(true, "CEthCamera::ReadMissing():\nStopped by the caller before packet #%d.\n\n",
                   n);
      return false;
    }
    if (!FetchPacket(n, buffer)) {
      LogFormatted(true, "CEthCamera::ReadMissing():\nCannot retransmit packet #%d.\n\n", n);
      return false;
    }
    LogFormatted(true, "CEthCamera::ReadMissing():\nPacket #%d retransmitted.\n\n", n);
    _fetched[static_cast<std::size_t>(n)] = 1;
    CountOne(_counts.fetched_again);
    ++fetched;
  }
  return true;
}

bool CEthCamera::FetchPacket(int packet, std::uint8_t* buffer) {
  const std::size_t offset = static_cast<std::size_t>(packet) * RAW_PACKET_DATA_LENGTH;
  for (std::int32_t attempt = 0; attempt <= kRetries; ++attempt) {
    // Received aside, so that an answer that is too short leaves the image as it was.
    std::array<std::uint8_t, RAW_PACKET_DATA_LENGTH> data;
    std::uint32_t length = 0;
    if (!SendCmd(RawNumberField(packet), NUDP_TOP_RETRANSMIT, nullptr, data.data(), &length,
                 data.size())) {
      return false;
    }
    CountOne(_counts.answered_retransmissions);
    if (length == RAW_PACKET_DATA_LENGTH) {
      if (buffer != nullptr) std::memcpy(buffer + offset, data.data(), data.size());
      return true;
    }
    LogFormatted(true,
                 "CEthCamera::ReadMissing():\nPacket #%d (offset=%zX) retransmitted with %u "
                 "bytes of data, not stored.\n\n",
                 packet, offset, static_cast<unsigned>(length));
  }
  return false;
}

std::vector<RawPacketRange> CEthCamera::MissingRanges() const {
  const bool none_stored = _no_buffer.load();
  std::vector<RawPacketRange> ranges;
  for (int n = 0; n < RAW_PACKETS_PER_IMAGE; ++n) {
    if (_fetched[static_cast<std::size_t>(n)] != 0 || (!none_stored && _nudp->PacketStored(n))) {
      continue;
    }
    if (!ranges.empty() && ranges.back().last == n - 1) {
      ranges.back().last = n;
    } else {
      ranges.push_back(RawPacketRange{n, n});
    }
  }
  return ranges;
}

}  // namespace fp
