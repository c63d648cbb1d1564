#pragma once

#include "net/Socket.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace fp {

// An outgoing TCP/IPv4 connection served by a SocketHandler: a non-blocking connect that the
// handler completes, times out and retries, optionally through the handler's SOCKS4 server, an
// input buffer that received bytes wait in, and an output buffer that sends drain from as the
// connection takes them. A socket that wants to reconnect is connected again by the handler when
// its established connection closes; an idle connection can be kept in the handler's pool and
// taken over by the next Open to the same address and port.
//
// Open, the sends and ReadInput run on the owner's thread, the callbacks on the thread running
// the handler's Select; the owner keeps the two apart.
class TcpSocket : public Socket {
 public:
  // Copies the handler's SOCKS4 server and user. The socket has no descriptor until Open.
  explicit TcpSocket(SocketHandler& handler);
  // Closes the descriptor it still has, kept for the pool or not.
  ~TcpSocket() override;

  // Connects to `address` (network order) and `port` (host order), through the SOCKS4 server
  // unless `skip_socks` is set or there is none, or takes over a pooled connection to them when
  // the handler pools. Give it a socket without a descriptor (new, or closed); add the socket to
  // the handler afterwards. True when the connect is under way or done; OnConnect (or
  // OnReconnected) follows when it is established, OnConnectFailure when it fails for good.
  // False, with the socket marked for closing, when it could not begin.
  bool Open(std::uint32_t address, std::uint16_t port, bool skip_socks = false);

  // Queues the bytes and sends what the connection takes now; the rest goes as it becomes
  // writable. Bytes given before the connection is established wait for it.
  void SendBuf(const void* bytes, std::size_t length, std::int32_t flags) override;
  void SendText(const std::string& text, std::int32_t flags) override;

  // Most received bytes the input buffer holds: once it holds this many, the socket stops
  // reading, and the peer has to wait, until they are taken.
  static constexpr std::size_t kInputLimit = std::size_t{1} << 20;

  // Received bytes not yet taken.
  std::size_t InputPending() const { return _input.size(); }
  // Bytes waiting to be sent.
  std::size_t OutputPending() const { return _output.size(); }
  // Takes every received byte out of the input buffer (and reads again if the buffer was full).
  std::string TakeInput();

  // Whether a closed established connection is to be connected again (false by default).
  void SetReconnect(bool x) { _reconnect = x; }
  bool WantsReconnect() const { return _reconnect; }
  // Set by the handler while it connects the socket again.
  void SetReconnecting(bool x) { _reconnecting = x; }
  bool IsReconnecting() const { return _reconnecting; }
  // The peer ended the connection, or it failed: nothing more can be sent on it.
  bool ConnectionLost() const { return _lost; }

  // Receives into the input buffer. The end of the peer's stream or a failed receive loses the
  // connection and marks the socket for closing.
  void OnRead() override;
  // Sends waiting output; write interest stays while some is left.
  void OnWritable() override;
  // The connection to the SOCKS4 server is up: sends the connect request.
  void OnSocks4Connect() override;
  // The SOCKS4 server could not be reached or refused: falls back to a direct connect when the
  // handler says so, otherwise the connect has failed.
  void OnSocks4ConnectFailed() override;
  // Takes the SOCKS4 reply out of the input buffer; true once it is complete.
  bool OnSocks4Read() override;

 protected:
  // New bytes wait in the input buffer (also when the connection was established through the
  // SOCKS4 server and data followed its reply). Base: nothing, the bytes wait for TakeInput.
  virtual void OnInput();

 private:
  // Sends from the output buffer while the connection takes it.
  void Flush();
  void Lose();

  std::string _input;
  std::string _output;
  std::string _socks4_user;
  bool _reconnect = false;
  bool _reconnecting = false;
  bool _lost = false;
  bool _input_full = false;
  std::array<std::uint8_t, 8> _socks4_reply{};
  std::size_t _socks4_reply_length = 0;
};

}  // namespace fp
