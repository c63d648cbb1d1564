#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fp::test {

// A UDP socket bound to `ip` (network byte order) and `port`, with a kernel receive buffer of
// `receive_buffer` bytes: SO_RCVBUFFORCE where the process may, else SO_RCVBUF (capped at
// net.core.rmem_max). `flags` go to socket() beside SOCK_CLOEXEC (SOCK_NONBLOCK, say). The
// descriptor, or -1 when the socket cannot be made or bound.
inline int BoundUdpSocket(std::uint32_t ip, std::uint16_t port, int receive_buffer, int flags = 0) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0) return -1;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof receive_buffer) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = ip;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace fp::test
