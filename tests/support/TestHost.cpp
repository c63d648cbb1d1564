#include "tests/support/TestHost.h"

#include "tools/camsim/ImagePattern.h"

#include "tests/support/BoundUdpSocket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fp::test {

using Clock = std::chrono::steady_clock;

TestHost::TestHost(const std::string& address, std::uint16_t port, int receive_buffer) {
  in_addr ip{};
  if (inet_pton(AF_INET, address.c_str(), &ip) != 1) return;
  _fd = BoundUdpSocket(ip.s_addr, port, receive_buffer);
  if (_fd < 0) return;
  _endpoint = SimEndpoint{ip.s_addr, port};
}

TestHost::~TestHost() {
  if (_fd >= 0) ::close(_fd);
}

int TestHost::ReceiveBufferSize() const {
  int size = 0;
  socklen_t length = sizeof size;
  ::getsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &size, &length);
  return size;
}

bool TestHost::Send(const SimEndpoint& to, const std::uint8_t* bytes, std::size_t length) const {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = to.address;
  sa.sin_port = htons(to.port);
  return ::sendto(_fd, bytes, length, 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) ==
         static_cast<ssize_t>(length);
}

bool TestHost::SendCommand(const SimEndpoint& to, std::uint8_t top, std::uint32_t number) const {
  const NudpHeader h = BuildCommandHeader(top, number);
  return Send(to, h.data(), h.size());
}

std::vector<std::uint8_t> TestHost::Receive(std::chrono::milliseconds limit,
                                            SimEndpoint* from) const {
  pollfd p{_fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return {};
  std::vector<std::uint8_t> buffer(NUDP_MAX_PACKET_LENGTH + 1);
  sockaddr_in sa{};
  socklen_t sa_length = sizeof sa;
  const ssize_t n = ::recvfrom(_fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&sa), &sa_length);
  if (n < 0) return {};
  buffer.resize(static_cast<std::size_t>(n));
  if (from != nullptr) *from = SimEndpoint{sa.sin_addr.s_addr, ntohs(sa.sin_port)};
  return buffer;
}

std::vector<std::uint8_t> TestHost::ReceiveResponse(std::chrono::milliseconds limit) const {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()) +
        std::chrono::milliseconds(1);
    std::vector<std::uint8_t> d = Receive(left);
    if (d.empty()) return d;
    if (ClassifyDatagram(d.data(), d.size()) != NudpKind::kRawData) return d;
  }
  return {};
}

ReceivedStream ReceiveStream(const TestHost& host, std::uint32_t image, std::size_t count,
                             std::chrono::milliseconds quiet, std::chrono::milliseconds limit,
                             const std::function<bool()>& stream_ended) {
  ReceivedStream out;
  const auto deadline = Clock::now() + limit;
  Clock::time_point first{};
  std::vector<std::uint8_t> expected(RAW_PACKET_DATA_LENGTH);
  // Set once the sender said it is done. The quiet wait that follows is needed because what it
  // sent just before may have come in after the wait that found nothing.
  bool ended = !stream_ended;
  while (out.indices.size() < count && Clock::now() < deadline) {
    std::vector<std::uint8_t> d = host.Receive(quiet);
    if (d.empty()) {
      if (ended) break;
      ended = stream_ended();
      continue;
    }
    if (ClassifyDatagram(d.data(), d.size()) != NudpKind::kRawData) {
      out.responses.push_back(std::move(d));
      continue;
    }
    const auto now = Clock::now();
    if (out.indices.empty()) first = now;
    out.first_to_last = now - first;
    const std::uint32_t number = ReadNumberField(d.data());
    const std::size_t data_length = d.size() - NUDP_HEADER_LENGTH;
    if (!NudpChecksumOk(d.data()) || data_length != RAW_PACKET_DATA_LENGTH ||
        number % (RAW_PACKET_DATA_LENGTH / 2) != 0 || !RawPacketInImage(number, data_length)) {
      ++out.bad_headers;
      continue;
    }
    const int index = static_cast<int>(RawPacketIndex(number));
    out.indices.push_back(index);
    out.headers.push_back(HeaderOf(d));
    FillImageBytes(image, RawByteOffset(number), expected.data(), expected.size());
    if (!std::equal(expected.begin(), expected.end(), d.begin() + NUDP_HEADER_LENGTH)) {
      ++out.bad_data;
    }
  }
  return out;
}

bool HostHoldsWholeImage() {
  // An unbound socket is enough to learn what the kernel grants.
  TestHost probe("0.0.0.0", 0);
  return probe.Ok() && probe.ReceiveBufferSize() >= 24 * 1024 * 1024;
}

NudpHeader HeaderOf(const std::vector<std::uint8_t>& datagram) {
  NudpHeader h{};
  std::copy_n(datagram.begin(), std::min(datagram.size(), h.size()), h.begin());
  return h;
}

SimEndpoint LoopbackEndpoint(int net, int host, std::uint16_t port) {
  in_addr a{};
  inet_pton(AF_INET, LoopbackAddress(net, host).c_str(), &a);
  return SimEndpoint{a.s_addr, port};
}

std::string LoopbackAddress(int net, int host) {
  return "127.2." + std::to_string(net) + "." + std::to_string(host);
}

}  // namespace fp::test
