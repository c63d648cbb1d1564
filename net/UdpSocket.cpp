#include "net/UdpSocket.h"

#include "net/SocketError.h"
#include "net/SocketHandler.h"
#include "net/SocketOps.h"

#include <array>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace fp {

namespace {

constexpr std::uint32_t kIPv4AddressLength = sizeof(sockaddr_in);

}  // namespace

// What one recvmmsg call fills: for each datagram its slot of the receive buffer and its
// sender's address.
struct UdpSocket::ReceiveBatch {
  std::array<mmsghdr, kReceiveBatch> messages{};
  std::array<iovec, kReceiveBatch> slots{};
  std::array<sockaddr_in, kReceiveBatch> from{};
};

UdpSocket::UdpSocket(SocketHandler& handler, std::int32_t recv_buffer_size)
    : Socket(handler),
      _recv_buffer_size(recv_buffer_size < 0 ? 0 : recv_buffer_size),
      _batch(std::make_unique<ReceiveBatch>()) {
  const auto slot = static_cast<std::size_t>(_recv_buffer_size);
  _recv_buffer = std::make_unique<std::uint8_t[]>(slot * kReceiveBatch);
  for (std::size_t i = 0; i < kReceiveBatch; ++i) {
    _batch->slots[i].iov_base = _recv_buffer.get() + i * slot;
    _batch->slots[i].iov_len = slot;
    msghdr& header = _batch->messages[i].msg_hdr;
    header.msg_iov = &_batch->slots[i];
    header.msg_iovlen = 1;
    header.msg_name = &_batch->from[i];
  }
  if (GetDescriptor() != -1) return;
  const int descriptor = CreateDescriptor(AF_INET, SOCK_DGRAM, "udp");
  if (descriptor == -1) return;
  // Receives never wait whatever the mode, so a failed switch costs only its report.
  SetNonBlockingMode(true, descriptor);
  AttachDescriptor(descriptor);
}

UdpSocket::~UdpSocket() {
  EndOwnThread();
  if (GetDescriptor() != -1) Close();
}

std::int32_t UdpSocket::Bind(std::uint32_t address, std::uint16_t& port, std::int32_t range) {
  int rc = sockets::BindIPv4(GetDescriptor(), address, port);
  // Stops at 65535: one more would wrap to 0, which binds any free port and hides the failure.
  for (std::int32_t tries = 0; rc == -1 && tries < range && port < 65535; ++tries) {
    ++port;
    rc = sockets::BindIPv4(GetDescriptor(), address, port);
  }
  if (rc == -1) {
    const int code = sockets::LastError();
    ServingHandler().ReportError(this, "bind", code, SocketErrorText(code), Fatal);
    SetCloseAndDelete(true);
    return -1;
  }
  if (port == 0) {
    const int chosen = sockets::LocalPort(GetDescriptor());
    if (chosen > 0) port = static_cast<std::uint16_t>(chosen);
  }
  _bound = true;
  _port = port;
  return 0;
}

bool UdpSocket::Open(std::uint32_t address, std::uint16_t port) {
  if (sockets::ConnectIPv4(GetDescriptor(), address, port) == 0) {
    MarkConnected(true);
    return true;
  }
  const int code = sockets::LastError();
  ServingHandler().ReportError(this, "connect", code, SocketErrorText(code), Fatal);
  SetCloseAndDelete(true);
  return false;
}

void UdpSocket::SendBuf(const void* bytes, std::size_t length, std::int32_t flags) {
  if (!IsPeerConnected()) {
    ServingHandler().ReportError(this, "SendBuf", 0, "not connected", Error);
    return;
  }
  if (sockets::Send(GetDescriptor(), bytes, length, flags) == -1) {
    const int code = sockets::LastError();
    ServingHandler().ReportError(this, "send", code, SocketErrorText(code), Error);
  }
}

void UdpSocket::SendText(const std::string& text, std::int32_t flags) {
  SendBuf(text.data(), text.size(), flags);
}

std::uint16_t UdpSocket::GetPort() { return _port; }

void UdpSocket::OnRead() {
  // OnRawData may delete or close this socket; the delivery then ends without touching it.
  const DeleteWatch watch(*this);
  ReceiveBatch& batch = *_batch;
  for (mmsghdr& message : batch.messages) message.msg_hdr.msg_namelen = kIPv4AddressLength;
  const int n = sockets::ReceiveDatagrams(GetDescriptor(), batch.messages.data(), kReceiveBatch);
  if (n == -1) {
    int code = sockets::LastError();
    // A datagram receive meets a refused port as an earlier send's ICMP answer; the report
    // names it as the receive of such an answer does elsewhere: the peer reset the connection.
    if (code == WSAECONNREFUSED) code = WSAECONNRESET;
    if (code != WSAEWOULDBLOCK) {
      ServingHandler().ReportError(this, "recvfrom", code, SocketErrorText(code), Error);
    }
    return;
  }
  const std::size_t capacity = static_cast<std::size_t>(_recv_buffer_size);
  for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
    const msghdr& header = batch.messages[i].msg_hdr;
    const std::size_t length = batch.messages[i].msg_len;
    if (length == 0) continue;
    if (length > capacity) {
      // The datagram did not fit: its head is in the slot and its tail is gone. Never deliver
      // it cut short.
      ServingHandler().ReportError(this, "recvfrom", WSAEMSGSIZE, SocketErrorText(WSAEMSGSIZE),
                                   Error);
      continue;
    }
    if (header.msg_namelen != kIPv4AddressLength) {
      ServingHandler().ReportError(this, "recvfrom", 0, "unexpected address struct size", Warning);
    }
    OnRawData(static_cast<const std::uint8_t*>(header.msg_iov->iov_base), length,
              reinterpret_cast<const sockaddr*>(&batch.from[i]), header.msg_namelen);
    if (watch.SocketDeleted() || GetDescriptor() == -1) return;
  }
}

void UdpSocket::OnRawData(const std::uint8_t* /*data*/, std::size_t /*length*/,
                          const struct sockaddr* /*from*/, std::uint32_t /*from_length*/) {}

std::int32_t UdpSocket::RequestReceiveBuffer(std::int32_t bytes) {
  SocketHandler& handler = ServingHandler();
  const int descriptor = GetDescriptor();
  if (sockets::SetIntOption(descriptor, SOL_SOCKET, SO_RCVBUF, bytes) == -1) {
    const int code = sockets::LastError();
    handler.ReportError(this, "setsockopt(SOL_SOCKET, SO_RCVBUF)", code, SocketErrorText(code),
                        Error);
    return -1;
  }
  int granted = 0;
  if (sockets::GetIntOption(descriptor, SOL_SOCKET, SO_RCVBUF, granted) == -1) {
    const int code = sockets::LastError();
    handler.ReportError(this, "getsockopt(SOL_SOCKET, SO_RCVBUF)", code, SocketErrorText(code),
                        Error);
    return -1;
  }
  // SO_RCVBUF is capped at net.core.rmem_max; SO_RCVBUFFORCE passes the cap but needs
  // CAP_NET_ADMIN, and without it the capped buffer simply stays.
  if (granted < bytes &&
      sockets::SetIntOption(descriptor, SOL_SOCKET, SO_RCVBUFFORCE, bytes) == 0 &&
      sockets::GetIntOption(descriptor, SOL_SOCKET, SO_RCVBUF, granted) == -1) {
    const int code = sockets::LastError();
    handler.ReportError(this, "getsockopt(SOL_SOCKET, SO_RCVBUF)", code, SocketErrorText(code),
                        Error);
    return -1;
  }
  if (granted < bytes) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "receive buffer capped at %d of %d bytes; raise net.core.rmem_max "
                  "(sysctl -w net.core.rmem_max=%d) to allow more",
                  granted, bytes, bytes);
    handler.ReportError(this, "setsockopt(SOL_SOCKET, SO_RCVBUF)", granted, text, Warning);
  }
  return granted;
}

}  // namespace fp
