// CEthCamera's recovery of the RAW packets missing from an image, and what is missing after it.

#include "camera/CEthCamera.h"
#include "camera/CommandAttempt.h"
#include "nudp/NudpSocket.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace fp {

namespace {

// Walks over the image that recovery makes at most: one for the packets missing, one for each
// packet a late copy put in conflict meanwhile, one after each time the image began again.
// A camera that keeps changing the image beyond this leaves it incomplete.
constexpr int kMaxRecoveryWalks = 8;

}  // namespace

bool CEthCamera::ReadMissing(std::uint8_t* buffer, const std::atomic<bool>* stop) {
  if (Recover(buffer, stop)) return true;
  _stream_may_run.store(true);
  HandOverImage();
  return false;
}

bool CEthCamera::Recover(std::uint8_t* buffer, const std::atomic<bool>* stop) {
  // Without a buffer the transfer stored nothing, whatever the socket counted.
  const bool none_stored = _no_buffer.load();
  // The map and the count stay as the transfer left them: a fetched packet is in the image,
  // not in the map. Packets fetched by this call, so that each is asked for once a walk.
  std::vector<std::uint8_t>& fetched = _fetched_now;
  std::fill(fetched.begin(), fetched.end(), std::uint8_t{0});
  const auto in_image = [&](int n) {
    return fetched[static_cast<std::size_t>(n)] != 0 || (!none_stored && Nudp().PacketStored(n));
  };
  std::uint64_t restarts = Nudp().Restarts();
  for (int walk = 0; walk < kMaxRecoveryWalks; ++walk) {
    bool restarted = false;
    bool fetched_any = false;
    for (int n = 0; n < RAW_PACKETS_PER_IMAGE && !restarted; ++n) {
      if (in_image(n)) continue;
      if (stop != nullptr && stop->load()) {
        LogFormatted(true,
                     "CEthCamera::ReadMissing():\nStopped by the caller before packet #%d.\n\n", n);
        return false;
      }
      switch (FetchPacket(n, buffer, restarts)) {
        case Fetch::kFailed:
          LogFormatted(true, "CEthCamera::ReadMissing():\nCannot retransmit packet #%d.\n\n", n);
          return false;
        case Fetch::kRestarted:
          restarted = true;
          break;
        case Fetch::kFetched:
          LogFormatted(true, "CEthCamera::ReadMissing():\nPacket #%d retransmitted.\n\n", n);
          fetched[static_cast<std::size_t>(n)] = 1;
          _fetched[static_cast<std::size_t>(n)] = 1;
          CountOne(_counts.fetched_again);
          fetched_any = true;
          break;
      }
    }
    if (!restarted && !fetched_any) {
      // Nothing left to fetch: looked at once more with the socket ours, and handed back in the
      // same hold, so that no restart or late copy comes between the look and the hand-over.
      // What has come meanwhile is judged first: a copy of a new exposure may be among it.
      AcquireNudpWithoutLimit();
      DispatchQueued(*_handler);
      TakeRestartedStream();
      bool whole = !_data_taking.load() && _nudp->Restarts() == restarts;
      for (int n = 0; n < RAW_PACKETS_PER_IMAGE && whole; ++n) whole = in_image(n);
      if (whole) _nudp->HandOver();
      _nudp_mutex.Release();
      if (whole) return true;
    }
    if (!restarted && Nudp().Restarts() == restarts) {
      continue;  // packets a late copy put in conflict meanwhile are fetched in the next walk
    }
    // The image began again: the packets fetched so far may be of the exposure before.
    WriteErrLog(
        "CEthCamera::ReadMissing():\nThe image began again: the packets fetched for the "
        "exposure before are dropped, recovery starts over.\n\n");
    std::fill(fetched.begin(), fetched.end(), std::uint8_t{0});
    std::fill(_fetched.begin(), _fetched.end(), std::uint8_t{0});
    // Looked at with the socket ours: the thread that took the restart has settled it. The new
    // exposure's stream is waited for; the next walk fetches what it left out (nothing, when it
    // came whole).
    AcquireNudpWithoutLimit();
    const bool streams = _data_taking.load();
    restarts = _nudp->Restarts();
    _nudp_mutex.Release();
    if (streams) WaitForTransfer(stop);
  }
  WriteErrLog(
      "CEthCamera::ReadMissing():\nThe image kept changing during recovery: it may hold more "
      "than one exposure and stays incomplete.\n\n");
  return false;
}

CEthCamera::Fetch CEthCamera::FetchPacket(int packet, std::uint8_t* buffer,
                                          std::uint64_t restarts) {
  const std::size_t offset = static_cast<std::size_t>(packet) * RAW_PACKET_DATA_LENGTH;
  for (std::int32_t attempt = 0; attempt <= kRetries; ++attempt) {
    // Received aside, so that an answer that is too short leaves the image as it was; stored
    // while the socket is still ours, so that no restart comes between the look and the copy.
    std::uint32_t length = 0;
    bool restarted = false;
    const bool answered =
        Exchange(RawNumberField(packet), NUDP_TOP_RETRANSMIT, [&](NudpSocket& nudp) {
          std::array<std::uint8_t, RAW_PACKET_DATA_LENGTH> data;
          if (!nudp.GetResponse(nullptr, data.data(), &length, data.size())) return false;
          // An answer that came around a restart may be of either exposure.
          restarted = nudp.Restarts() != restarts;
          if (!restarted && length == RAW_PACKET_DATA_LENGTH && buffer != nullptr) {
            std::memcpy(buffer + offset, data.data(), data.size());
          }
          return true;
        });
    if (!answered) return Fetch::kFailed;
    CountOne(_counts.answered_retransmissions);
    if (restarted) return Fetch::kRestarted;
    if (length == RAW_PACKET_DATA_LENGTH) return Fetch::kFetched;
    LogFormatted(true,
                 "CEthCamera::ReadMissing():\nPacket #%d (offset=%zX) retransmitted with %u "
                 "bytes of data, not stored.\n\n",
                 packet, offset, static_cast<unsigned>(length));
  }
  return Fetch::kFailed;
}

std::vector<RawPacketRange> CEthCamera::MissingRanges() const { return RangesNotIn(true); }

std::vector<RawPacketRange> CEthCamera::LostRanges() const { return RangesNotIn(false); }

std::vector<RawPacketRange> CEthCamera::RangesNotIn(bool count_fetched) const {
  const bool none_stored = _no_buffer.load();
  std::vector<RawPacketRange> ranges;
  for (int n = 0; n < RAW_PACKETS_PER_IMAGE; ++n) {
    if ((count_fetched && _fetched[static_cast<std::size_t>(n)] != 0) ||
        (!none_stored && Nudp().PacketStored(n))) {
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
