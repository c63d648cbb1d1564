#include "net/SocketOps.h"

#include "net/SocketError.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fp::sockets {

int ErrorFromErrno(int err) {
  switch (err) {
    case EINTR:
      return WSAEINTR;
    case EBADF:
      return WSAENOTSOCK;  // a closed or foreign handle is "not a socket" there
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
      return WSAEWOULDBLOCK;
    case EINPROGRESS:
      return WSAEINPROGRESS;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case EPIPE:
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    case ETOOMANYREFS:
      return WSAETOOMANYREFS;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ELOOP:
      return WSAELOOP;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    case ENOTEMPTY:
      return WSAENOTEMPTY;
    case EUSERS:
      return WSAEUSERS;
    case EDQUOT:
      return WSAEDQUOT;
    case ESTALE:
      return WSAESTALE;
    case EREMOTE:
      return WSAEREMOTE;
    default:
      return err;
  }
}

int LastError() { return ErrorFromErrno(errno); }

int ResolveIPv4(const char* name, std::uint32_t& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  const int rc = getaddrinfo(name, nullptr, &hints, &result);
  if (rc != 0) {
    switch (rc) {
      case EAI_AGAIN:
        return WSATRY_AGAIN;
      case EAI_FAIL:
        return WSANO_RECOVERY;
#ifdef EAI_NODATA
      case EAI_NODATA:
        return WSANO_DATA;
#endif
      case EAI_SYSTEM:
        return LastError();
      default:
        return WSAHOST_NOT_FOUND;
    }
  }
  int error = WSANO_DATA;
  for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in sin;
      std::memcpy(&sin, ai->ai_addr, sizeof sin);
      address = sin.sin_addr.s_addr;
      error = 0;
      break;
    }
  }
  freeaddrinfo(result);
  return error;
}

namespace {

sockaddr_in IPv4Address(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = address;
  return sin;
}

// The layer's own error codes travel through errno, as the platform's do, so LastError() gives
// them back like any other.
void SetLastError(int code) { errno = code; }

}  // namespace

int ProtocolNumber(const char* name) {
  protoent entry{};
  protoent* found = nullptr;
  char buffer[1024];
  if (getprotobyname_r(name, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    return found->p_proto;
  }
  // Minimal systems may lack /etc/protocols; the numbers of these names never change.
  struct Known {
    const char* name;
    int number;
  };
  static constexpr Known kKnown[] = {
      {"ip", IPPROTO_IP}, {"icmp", IPPROTO_ICMP}, {"tcp", IPPROTO_TCP}, {"udp", IPPROTO_UDP}};
  for (const Known& known : kKnown) {
    if (std::strcmp(known.name, name) == 0) return known.number;
  }
  // No errno names an unknown protocol; the resolver code for "no such record" passes
  // ErrorFromErrno unchanged.
  SetLastError(WSANO_DATA);
  return -1;
}

int CreateSocket(int family, int type, int protocol) {
  return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

int Close(int descriptor) { return ::close(descriptor); }

int SetNonBlocking(int descriptor, bool on) {
  int value = on ? 1 : 0;
  return ::ioctl(descriptor, FIONBIO, &value);
}

int SetIntOption(int descriptor, int level, int option, int value) {
  return ::setsockopt(descriptor, level, option, &value, sizeof value);
}

int GetIntOption(int descriptor, int level, int option, int& value) {
  socklen_t length = sizeof value;
  return ::getsockopt(descriptor, level, option, &value, &length);
}

int PendingError(int descriptor, int& code) {
  int err = 0;
  const int rc = GetIntOption(descriptor, SOL_SOCKET, SO_ERROR, err);
  code = err == 0 ? 0 : ErrorFromErrno(err);
  return rc;
}

int ShutdownSend(int descriptor) { return ::shutdown(descriptor, SHUT_WR); }

int BindIPv4(int descriptor, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in sin = IPv4Address(address, port);
  return ::bind(descriptor, reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
}

int ConnectIPv4(int descriptor, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in sin = IPv4Address(address, port);
  return ::connect(descriptor, reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
}

int StartConnectIPv4(int descriptor, std::uint32_t address, std::uint16_t port) {
  const int rc = ConnectIPv4(descriptor, address, port);
  if (rc == -1 && errno == EINPROGRESS) SetLastError(EWOULDBLOCK);
  return rc;
}

bool HasPeer(int descriptor) {
  sockaddr_in sin{};
  socklen_t length = sizeof sin;
  return ::getpeername(descriptor, reinterpret_cast<sockaddr*>(&sin), &length) == 0;
}

int LocalPort(int descriptor) {
  sockaddr_in sin{};
  socklen_t length = sizeof sin;
  if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&sin), &length) != 0) return -1;
  return ntohs(sin.sin_port);
}

long Receive(int descriptor, void* buffer, std::size_t length, int flags) {
  return ::recv(descriptor, buffer, length, flags | MSG_DONTWAIT);
}

int ReceiveDatagrams(int descriptor, mmsghdr* messages, unsigned count) {
  return ::recvmmsg(descriptor, messages, count, MSG_DONTWAIT | MSG_TRUNC, nullptr);
}

long Send(int descriptor, const void* bytes, std::size_t length, int flags) {
  return ::send(descriptor, bytes, length, flags | MSG_NOSIGNAL);
}

int CreateWakeEvent() { return ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

int SignalWakeEvent(int descriptor) {
  if (::eventfd_write(descriptor, 1) == 0 || errno == EAGAIN) return 0;
  return -1;
}

int ClearWakeEvent(int descriptor) {
  eventfd_t count = 0;
  if (::eventfd_read(descriptor, &count) == 0 || errno == EAGAIN) return 0;
  return -1;
}

int Poll(pollfd* fds, std::size_t count, const timespec* timeout) {
  using Clock = std::chrono::steady_clock;
  if (timeout == nullptr) {
    for (;;) {
      const int rc = ::ppoll(fds, count, nullptr, nullptr);
      if (rc >= 0 || errno != EINTR) return rc;
    }
  }
  if (timeout->tv_sec < 0 || timeout->tv_nsec < 0 || timeout->tv_nsec >= 1000000000L) {
    SetLastError(EINVAL);
    return -1;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeout->tv_sec) +
                                     std::chrono::nanoseconds(timeout->tv_nsec);
  timespec left = *timeout;
  for (;;) {
    const int rc = ::ppoll(fds, count, &left, nullptr);
    if (rc >= 0 || errno != EINTR) return rc;
    const auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    if (rest.count() <= 0) return 0;
    left.tv_sec = static_cast<time_t>(rest.count() / 1000000000L);
    left.tv_nsec = static_cast<long>(rest.count() % 1000000000L);
  }
}

}  // namespace fp::sockets
