#pragma once

#include "tools/camsim/SimEndpoint.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace fp {

// Most datagrams SendBatch() takes, sent with one system call. The simulator also sends at most
// this many RAW packets and handles at most this many commands per pass of its loop, so that
// neither starves the other.
inline constexpr int kMaxBatch = 64;

// The simulated camera's UDP socket. All of the simulator's own OS socket calls are in this
// file pair; nothing of the driver's socket layer (net/) is used, so that the simulator stays
// independent of the code it is there to test. Owns its descriptor (-1 = none) and closes it
// in Close() and the destructor. Used by one thread at a time.
class SimSocket {
 public:
  SimSocket() = default;
  ~SimSocket();
  SimSocket(const SimSocket&) = delete;
  SimSocket& operator=(const SimSocket&) = delete;

  // Binds a UDP socket to `address` (dotted quad) and `port`, with a large send buffer. Returns
  // false and a reason in `error` when it cannot.
  bool Open(const std::string& address, std::uint16_t port, std::string& error);
  void Close();  // idempotent
  bool IsOpen() const { return _fd >= 0; }

  // Waits until a datagram is there to read or `deadline` has come, whichever is first; true
  // when one is waiting. A deadline in the past only looks.
  bool WaitReadableUntil(std::chrono::steady_clock::time_point deadline) const;

  // Receives one waiting datagram without blocking into `buffer`. Returns its length (a length
  // of `capacity` may mean it was cut), or -1 when none is waiting or on an error.
  long Receive(std::uint8_t* buffer, std::size_t capacity, SimEndpoint& from) const;

  // Sends one datagram made of `header` and `data`. Returns false on an error.
  bool SendTo(const SimEndpoint& to, const std::uint8_t* header, std::size_t header_length,
              const std::uint8_t* data, std::size_t data_length) const;

  // Sends `count` (1 to kMaxBatch) datagrams to one endpoint with one system call. Returns how
  // many were sent, from 0 to `count`; fewer than `count` means an error stopped the batch.
  int SendBatch(const SimEndpoint& to, const std::uint8_t* const* datagrams,
                const std::size_t* lengths, int count) const;

  // The send buffer size the kernel granted, in bytes.
  int SendBufferSize() const;

  // The address and port the socket is bound to (0.0.0.0:0 when it is not open).
  SimEndpoint LocalEndpoint() const;

 private:
  int _fd = -1;
};

// "a.b.c.d:port".
std::string EndpointText(const SimEndpoint& endpoint);

}  // namespace fp
