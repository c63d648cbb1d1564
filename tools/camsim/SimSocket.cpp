#include "tools/camsim/SimSocket.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace fp {

namespace {

constexpr int kSendBufferBytes = 4 * 1024 * 1024;

sockaddr_in ToSockaddr(const SimEndpoint& endpoint) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = endpoint.address;
  sa.sin_port = htons(endpoint.port);
  return sa;
}

}  // namespace

SimSocket::~SimSocket() { Close(); }

bool SimSocket::Open(const std::string& address, std::uint16_t port, std::string& error) {
  Close();
  in_addr a{};
  if (inet_pton(AF_INET, address.c_str(), &a) != 1) {
    error = "not an IPv4 dotted quad: " + address;
    return false;
  }
  _fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (_fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  // A forced size goes past the system's limit when we may; otherwise take what is allowed.
  int size = kSendBufferBytes;
  if (::setsockopt(_fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
    ::setsockopt(_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  // A send never blocks for long, so a stop request is seen promptly.
  timeval limit{};
  limit.tv_usec = 100000;
  ::setsockopt(_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

  const sockaddr_in sa = ToSockaddr(SimEndpoint{a.s_addr, port});
  if (::bind(_fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    error = "cannot bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    Close();
    return false;
  }
  return true;
}

void SimSocket::Close() {
  if (_fd >= 0) ::close(_fd);
  _fd = -1;
}

bool SimSocket::WaitReadableUntil(std::chrono::steady_clock::time_point deadline) const {
  if (_fd < 0) return false;
  // The time left is taken just before the call, so a late wake-up does not move later
  // deadlines (the caller derives them from a fixed origin).
  auto timeout = std::chrono::duration_cast<std::chrono::nanoseconds>(
      deadline - std::chrono::steady_clock::now());
  if (timeout.count() < 0) timeout = std::chrono::nanoseconds(0);
  pollfd p{_fd, POLLIN, 0};
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(timeout.count() / 1000000000);
  ts.tv_nsec = static_cast<long>(timeout.count() % 1000000000);
  return ::ppoll(&p, 1, &ts, nullptr) > 0 && (p.revents & POLLIN) != 0;
}

long SimSocket::Receive(std::uint8_t* buffer, std::size_t capacity, SimEndpoint& from) const {
  sockaddr_in sa{};
  socklen_t sa_length = sizeof sa;
  const ssize_t n =
      ::recvfrom(_fd, buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &sa_length);
  if (n < 0) return -1;
  from.address = sa.sin_addr.s_addr;
  from.port = ntohs(sa.sin_port);
  return static_cast<long>(n);
}

bool SimSocket::SendTo(const SimEndpoint& to, const std::uint8_t* header, std::size_t header_length,
                       const std::uint8_t* data, std::size_t data_length) const {
  sockaddr_in sa = ToSockaddr(to);
  std::array<iovec, 2> iov{};
  iov[0].iov_base = const_cast<std::uint8_t*>(header);
  iov[0].iov_len = header_length;
  iov[1].iov_base = const_cast<std::uint8_t*>(data);
  iov[1].iov_len = data_length;
  msghdr msg{};
  msg.msg_name = &sa;
  msg.msg_namelen = sizeof sa;
  msg.msg_iov = iov.data();
  msg.msg_iovlen = data_length > 0 ? 2 : 1;
  const ssize_t n = ::sendmsg(_fd, &msg, 0);
  return n == static_cast<ssize_t>(header_length + data_length);
}

int SimSocket::SendBatch(const SimEndpoint& to, const std::uint8_t* const* datagrams,
                         const std::size_t* lengths, int count) const {
  if (count <= 0) return 0;
  const auto n = static_cast<std::size_t>(count < kMaxBatch ? count : kMaxBatch);
  sockaddr_in sa = ToSockaddr(to);
  std::array<iovec, kMaxBatch> iov{};
  std::array<mmsghdr, kMaxBatch> msgs{};
  for (std::size_t i = 0; i < n; ++i) {
    iov[i].iov_base = const_cast<std::uint8_t*>(datagrams[i]);
    iov[i].iov_len = lengths[i];
    msghdr& m = msgs[i].msg_hdr;
    m.msg_name = &sa;
    m.msg_namelen = sizeof sa;
    m.msg_iov = &iov[i];
    m.msg_iovlen = 1;
  }
  // A partial count means the next datagram failed; its error would only show on another call,
  // and the caller counts the rest as lost, so there is no retry.
  const int done = ::sendmmsg(_fd, msgs.data(), static_cast<unsigned>(n), 0);
  return done > 0 ? done : 0;
}

int SimSocket::SendBufferSize() const {
  int size = 0;
  socklen_t length = sizeof size;
  if (_fd < 0 || ::getsockopt(_fd, SOL_SOCKET, SO_SNDBUF, &size, &length) != 0) return 0;
  return size;
}

SimEndpoint SimSocket::LocalEndpoint() const {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (_fd < 0 || ::getsockname(_fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return {};
  return SimEndpoint{sa.sin_addr.s_addr, ntohs(sa.sin_port)};
}

std::string EndpointText(const SimEndpoint& endpoint) {
  const std::uint32_t a = ntohl(endpoint.address);
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF,
                a & 0xFF, unsigned{endpoint.port});
  return text;
}

}  // namespace fp
