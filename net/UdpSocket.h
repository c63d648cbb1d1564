#pragma once

#include "net/Socket.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct sockaddr;

namespace fp {

// A UDP/IPv4 socket. It owns a non-blocking descriptor from construction on, binds with a
// next-port fallback, can be connected to one peer, and on each readiness takes a batch of
// waiting datagrams into preallocated buffers and hands each to OnRawData in place.
//
// Bind, Open and the sends run on the owner's thread; OnRead and OnRawData on the thread running
// the handler's Select. The owner keeps the two from overlapping.
class UdpSocket : public Socket {
 public:
  // Creates the descriptor (reported, and the socket left without one, when that fails). The
  // owner adds the socket to the handler itself, normally after Bind.
  UdpSocket(SocketHandler& handler, std::int32_t recv_buffer_size);
  // Ends the socket's own thread first, if it has one (EndOwnThread).
  ~UdpSocket() override;

  // Binds to `address` (network order) and `port` (host order). When the port is taken, tries
  // up to `range` ports above it, one after the other, never beyond 65535. On return `port`
  // holds the last port tried; port 0 lets the system choose, and `port` then holds its choice.
  // Returns 0, or -1 after reporting "bind" (Fatal) and marking the socket for closing.
  std::int32_t Bind(std::uint32_t address, std::uint16_t& port, std::int32_t range);
  // Connects the descriptor to the peer, so plain sends go there and only its datagrams arrive.
  // False after reporting "connect" (Fatal) and marking the socket for closing.
  bool Open(std::uint32_t address, std::uint16_t port);

  // Sends one datagram to the connected peer; a failure is reported (Error), not returned.
  void SendBuf(const void* bytes, std::size_t length, std::int32_t flags) override;
  void SendText(const std::string& text, std::int32_t flags) override;
  // The bound port, 0 before a successful Bind.
  std::uint16_t GetPort() override;

  // Most datagrams one readiness delivers: at line rate (a 1098-byte frame every 8.8 us at
  // 1 Gbit/s) half a millisecond of stream, so the thread running the handler looks at its
  // other business at least that often while a stream pours in.
  static constexpr unsigned kReceiveBatch = 64;

  // Takes the waiting datagrams, at most kReceiveBatch, from the kernel in one call and hands
  // each to OnRawData, one at a time, in the order they came. A zero-length datagram is passed
  // over unseen; one longer than the buffer is reported ("recvfrom", 10040, Error) and dropped,
  // never delivered cut short. An OnRawData that closes or deletes the socket ends the delivery,
  // and nothing of the socket is touched after it.
  void OnRead() override;
  // One received datagram; `data` is in the receive buffer, valid only during the call.
  virtual void OnRawData(const std::uint8_t* data, std::size_t length, const struct sockaddr* from,
                         std::uint32_t from_length);

  // Asks the kernel for a receive buffer of at least `bytes` (SO_RCVBUF; when the result is
  // capped and the process may, SO_RCVBUFFORCE), reads back what it got and returns that size in
  // bytes as getsockopt reports it. A buffer still smaller than asked for is reported once as a
  // Warning ("setsockopt(SOL_SOCKET, SO_RCVBUF)", code = granted bytes, text saying it is capped
  // and how to raise net.core.rmem_max). Returns -1 (reported, level Error) when the calls fail.
  std::int32_t RequestReceiveBuffer(std::int32_t bytes);

  bool IsBound() const { return _bound; }

 private:
  // The descriptions of one batch's receives (ReceiveBatch in UdpSocket.cpp).
  struct ReceiveBatch;

  // kReceiveBatch slots of _recv_buffer_size bytes, one per datagram of a batch.
  std::unique_ptr<std::uint8_t[]> _recv_buffer;
  std::int32_t _recv_buffer_size;
  std::unique_ptr<ReceiveBatch> _batch;
  bool _bound = false;
  std::uint16_t _port = 0;
};

}  // namespace fp
