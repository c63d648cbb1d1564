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
  // Ends the socket's own thread first, if it has one (EndOwnThread); closes the descriptor it
  // still has, kept for the pool or not.
  ~TcpSocket() override;

  // Connects to `address` (network order) and `port` (host order), through the SOCKS4 server
  // unless `skip_socks` is set or there is none, or takes over a pooled connection to them when
  // the handler pools. Give it a socket without a descriptor (new, or closed); add the socket to
  // the handler afterwards. A closed socket starts afresh: its flags, retry count, buffers and
  // SOCKS4 server (the handler's, as it is now) are those of a new one. True when the connect
  // is under way or done; OnConnect follows when it is established, OnConnectFailure when it
  // fails for good. False, with the socket marked for closing, when it could not begin.
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
  std::size_t OutputPending() const override { return _output.size(); }
  // Takes every received byte out of the input buffer (and reads again if the buffer was full).
  std::string TakeInput();

  // Whether a closed established connection is to be connected again (false by default).
  void SetReconnect(bool x) { _reconnect = x; }
  bool WantsReconnect() const { return _reconnect; }
  // Set by the handler while it connects the socket again.
  void SetReconnecting(bool x) { _reconnecting = x; }
  bool IsReconnecting() const { return _reconnecting; }
  // The peer ended the connection, or it failed: nothing more can be sent on it.
  bool ConnectionEnded() const { return _lost; }

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

  // The handler's steps for a stream connection (TcpSocketSteps.cpp).
  //
  // Hands what was received to OnSocks4Read until the reply is complete.
  void TakeSocks4Reply() override;
  // Connected: sends what waits, then OnConnect, or OnReconnected after a reconnect.
  void OnConnectEstablished() override;
  // A failed connect with retries left waits for its time-out, which retries it.
  void OnConnectError() override;
  // Retries while retries are left and MayRetryConnect agrees; otherwise the connect fails.
  void OnConnectTimeout() override;
  // Connects again to the same target.
  bool RetryConnect() override;
  // A connected socket first sends what waits, for up to 5 seconds, and shuts its sending down;
  // then it reconnects if it wants to, or goes to the pool when marked for it and the handler
  // pools, or is closed.
  Closing OnCloseDue() override;

 protected:
  // New bytes wait in the input buffer (also when the connection was established through the
  // SOCKS4 server and data followed its reply). Base: nothing, the bytes wait for TakeInput.
  virtual void OnInput();

 private:
  // Open without starting afresh: what the handler's retries and reconnects use.
  bool Connect(std::uint32_t address, std::uint16_t port, bool skip_socks);
  // Closes the descriptor and connects to the same target again. A lost connection (a
  // reconnect) is told to the owner in between and begins its retries afresh.
  void ConnectAgain(bool lost);
  // Sends from the output buffer while the connection takes it.
  void Flush();
  // The connection ended or failed: the socket is marked for closing; while it waits for the
  // SOCKS4 server's reply, that connect has failed.
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
