#pragma once

#include "nudp/NudpProtocol.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/uio.h>
#include <vector>

namespace fp {

// The benchmarks' reference receiver: a plain UDP socket that asks a camera for one image with
// 0x08 and takes its RAW packets in batches with recvmmsg, each checked as the driver checks it
// and copied to its place. No event loop, no threads, no logs: how fast a program can take what
// the kernel hands over, and what the kernel loses on the way.
//
// Owns its socket (closed by the destructor). All of it on one thread.
class PlainReceiver {
 public:
  // Binds `port` on the local address `local` and sends to port 1234 of `camera` (dotted quads
  // or host names), with a kernel receive buffer of `receive_buffer` bytes: SO_RCVBUFFORCE when
  // the process may (CAP_NET_ADMIN), otherwise SO_RCVBUF, capped at net.core.rmem_max.
  // Ok() is false when an address is unknown or the socket could not be made or bound.
  PlainReceiver(const std::string& local, const std::string& camera, std::uint16_t port,
                int receive_buffer);
  ~PlainReceiver();
  PlainReceiver(const PlainReceiver&) = delete;
  PlainReceiver& operator=(const PlainReceiver&) = delete;

  bool Ok() const { return _fd >= 0; }

  // The kernel receive buffer granted, in bytes as getsockopt reports them (twice what was
  // granted for data); 0 without a socket.
  int ReceiveBufferBytes() const;

  struct Result {
    double seconds = 0.0;  // 0x08 sent to the last packet stored
    int packets = 0;       // distinct packets stored
    bool sent = false;     // the 0x08 went out; nothing was asked for otherwise
  };

  // Sends 0x08 and stores the stream into `image` (RAW_IMAGE_SIZE bytes) until all of it is
  // there, or its stream has ended and nothing is left to read. For a simulator in the same
  // process: `streams_started` and `streams_ended` tell how many streams it has started and
  // ended so far; each stream ends before the next one starts. Waiting for the end rather than
  // for a silence keeps a simulator that a busy machine holds up from counting as loss.
  Result TakeImage(std::uint8_t* image, const std::function<std::uint64_t()>& streams_started,
                   const std::function<std::uint64_t()>& streams_ended);

  // Sends 0x08 and stores the stream into `image` until the image's last packet is stored or
  // no datagram came for `silence`, the way the driver ends a transfer; for a camera that tells
  // nothing else.
  Result TakeImageUntilSilence(std::uint8_t* image, std::chrono::milliseconds silence);

 private:
  static constexpr std::size_t kBatch = 64;

  // Empties the socket, then sends 0x08 and notes the time. False when the send failed.
  bool Ask(Result& result);
  // Reads what is queued, batch after batch, storing into `image`; counts into `result` and
  // sets _last_stored. Returns the number of datagrams read.
  int ReadQueued(std::uint8_t* image, Result& result);
  // Stores one datagram when it is a RAW packet of the image not stored yet.
  bool Store(const std::uint8_t* data, std::size_t length, std::uint8_t* image);

  int _fd = -1;  // owned; -1 = none
  sockaddr_in _camera{};
  std::chrono::steady_clock::time_point _start;  // the last 0x08 sent
  bool _last_stored = false;                     // the image's last packet is stored
  std::vector<std::uint8_t> _map = std::vector<std::uint8_t>(RAW_PACKETS_PER_IMAGE);
  // One byte more than the largest valid datagram, so an oversized one shows.
  std::vector<std::array<std::uint8_t, NUDP_MAX_PACKET_LENGTH + 1>> _buffers =
      std::vector<std::array<std::uint8_t, NUDP_MAX_PACKET_LENGTH + 1>>(kBatch);
  std::array<iovec, kBatch> _vectors{};
  std::array<mmsghdr, kBatch> _messages{};
};

}  // namespace fp
