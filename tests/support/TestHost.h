#pragma once

#include "nudp/NudpProtocol.h"
#include "tools/camsim/SimSocket.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fp::test {

// The host side of a simulator test: a plain UDP socket on its own loopback address.
class TestHost {
 public:
  // Binds `address`:`port` with a receive buffer of `receive_buffer` bytes (forced past the
  // system limit when the test may). Check Ok() afterwards.
  explicit TestHost(const std::string& address, std::uint16_t port = 32100,
                    int receive_buffer = 16 * 1024 * 1024);
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  bool Ok() const { return _fd >= 0; }
  int ReceiveBufferSize() const;
  SimEndpoint Endpoint() const { return _endpoint; }

  bool Send(const SimEndpoint& to, const std::uint8_t* bytes, std::size_t length) const;
  bool SendCommand(const SimEndpoint& to, std::uint8_t top, std::uint32_t number) const;

  // One datagram within `limit`, or an empty vector.
  std::vector<std::uint8_t> Receive(std::chrono::milliseconds limit,
                                    SimEndpoint* from = nullptr) const;
  // The next datagram that is not RAW data, skipping RAW packets, within `limit`.
  std::vector<std::uint8_t> ReceiveResponse(std::chrono::milliseconds limit) const;

 private:
  int _fd = -1;
  SimEndpoint _endpoint;
};

// What arrived of one RAW stream.
struct ReceivedStream {
  std::vector<int> indices;         // packet indices in arrival order
  std::vector<NudpHeader> headers;  // their headers, in the same order
  int bad_headers = 0;  // RAW packets with a wrong checksum or length, or outside the image
  int bad_data = 0;     // RAW packets whose data differ from the image pattern
  std::vector<std::vector<std::uint8_t>> responses;  // other datagrams, in order
  std::chrono::steady_clock::duration first_to_last{};
};

// Collects datagrams until `count` RAW packets arrived, nothing came for `quiet`, or `limit`
// passed; checks each RAW packet against image `image`. With `stream_ended`, silence ends the
// collection only once that says the sender is done and a further `quiet` brings nothing, so
// that a sender held up on a loaded machine does not end a stream early.
ReceivedStream ReceiveStream(const TestHost& host, std::uint32_t image, std::size_t count,
                             std::chrono::milliseconds quiet, std::chrono::milliseconds limit,
                             const std::function<bool()>& stream_ended = {});

// True when a host socket gets a receive buffer that holds a whole image of RAW datagrams.
bool HostHoldsWholeImage();

NudpHeader HeaderOf(const std::vector<std::uint8_t>& datagram);

// 127.2.<net>.<host>
SimEndpoint LoopbackEndpoint(int net, int host, std::uint16_t port);
std::string LoopbackAddress(int net, int host);

}  // namespace fp::test
