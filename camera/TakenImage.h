#pragma once

#include "camera/DriverCounts.h"
#include "nudp/NudpProtocol.h"

#include <chrono>
#include <vector>

namespace fp {

// How one image went through CEthCamera::TakeImage: whether it started and came whole, what its
// stream brought, what recovery had to fetch and what is still missing, its times, and what the
// driver counted over it.
struct TakenImage {
  enum class Start {
    kStarted,        // the camera answered the 0x08 (or its data stood for the answer)
    kStopped,        // the stop flag was set before anything was sent
    kBufferRefused,  // the buffer was not taken: not one image's size, or a transfer runs
    kNotAnswered,    // no answer to the 0x08: contact is lost and the connection closed
  };
  Start start = Start::kStopped;
  // Every packet is in the buffer, from the stream or fetched again.
  bool complete = false;
  // The stop flag ended it before the image was whole (also before it started).
  bool stopped = false;
  // Packets stored from the stream the image was completed from (the last one, when the image
  // began again during recovery), and what that stream left out, which recovery had to fetch.
  // Until the image has started nothing of it is in the buffer: no packet from a stream, all
  // lost.
  int stream_packets = 0;
  std::vector<RawPacketRange> lost;
  // Still not in the buffer at the end; empty when complete.
  std::vector<RawPacketRange> missing;
  // From just before the 0x08 to the end, and recovery alone (0 when nothing was missing);
  // `ended` is that end on the steady clock. Set once started.
  double image_ms = 0.0;
  double recovery_ms = 0.0;
  std::chrono::steady_clock::time_point ended{};
  // What the driver counted from the 0x08 on (its repetitions included) to the end; all 0 until
  // the image has started.
  DriverCounts transfer;

  bool Started() const { return start == Start::kStarted; }
  int LostPackets() const { return RAW_PACKETS_PER_IMAGE - stream_packets; }
  int MissingPackets() const { return PacketsIn(missing); }
  // What recovery brought into the image.
  int FetchedAgainPackets() const { return LostPackets() - MissingPackets(); }
};

}  // namespace fp
