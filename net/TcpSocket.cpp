#include "net/TcpSocket.h"

#include "net/Address.h"
#include "net/SocketError.h"
#include "net/SocketHandler.h"
#include "net/SocketOps.h"

#include <sys/socket.h>

namespace fp {

namespace {

// Most bytes one readiness receives; more wait for the next pass.
constexpr std::size_t kReceiveChunk = 16384;

// SOCKS4: version 4, command 1 (connect); a reply is 8 bytes and grants with code 90.
constexpr std::uint8_t kSocks4Version = 4;
constexpr std::uint8_t kSocks4Connect = 1;
constexpr std::uint8_t kSocks4Granted = 90;

}  // namespace

TcpSocket::TcpSocket(SocketHandler& handler) : Socket(handler), _socks4_user(handler.ProxyUser()) {}

TcpSocket::~TcpSocket() {
  EndOwnThread();
  // Closed even when marked to be kept for the pool: a connection the pool took over is no
  // longer this socket's (it has no descriptor then), so one still here would be lost.
  if (GetDescriptor() != -1) Close();
}

bool TcpSocket::Open(std::uint32_t address, std::uint16_t port, bool skip_socks) {
  // Whatever a former connection of this object left behind goes; a descriptor it still has is
  // the caller's mistake and is not touched.
  SetCloseAndDelete(false);
  SetCallOnConnect(false);
  SetRetryClientConnect(false);
  MarkConnected(false);
  SetKeepForPool(false);
  SetRetriesMade(0);
  _reconnecting = false;
  _input.clear();
  _output.clear();
  RestoreSocks4Server();
  _socks4_user = ServingHandler().ProxyUser();
  return Connect(address, port, skip_socks);
}

bool TcpSocket::Connect(std::uint32_t address, std::uint16_t port, bool skip_socks) {
  SocketHandler& handler = ServingHandler();
  if (handler.SocketCount() >= SocketHandler::kSetSize) {
    handler.ReportError(this, "Open", 0, "no space left in fd_set", Fatal);
    SetCloseAndDelete(true);
    return false;
  }
  SetConnecting(false);
  SetViaProxy(false);
  _lost = false;
  _input_full = false;
  _socks4_reply_length = 0;
  SetShutdownDone(0);

  if (handler.Pooling()) {
    Socket* pooled = handler.TakePooledConnection(SOCK_STREAM, "tcp", address, port);
    if (pooled != nullptr) {
      TakeOverConnection(*pooled);
      delete pooled;  // kept for the pool: its destructor leaves the descriptor open
      SetOutgoing(true);
      SetCallOnConnect(true);
      handler.ReportError(this, "SetCallOnConnect", 0, "Found pooled connection", Info);
      return true;
    }
  }

  const int descriptor = CreateDescriptor(AF_INET, SOCK_STREAM, "tcp");
  if (descriptor == -1) return false;
  if (!SetNonBlockingMode(true, descriptor)) {
    SetCloseAndDelete(true);
    sockets::Close(descriptor);
    return false;
  }
  SetOutgoing(true);
  SetTarget(address, port);

  std::uint32_t connect_ip = address;
  std::uint16_t connect_port = port;
  if (!skip_socks && Socks4Host() != 0 && Socks4Port() != 0) {
    std::string server;
    AddressToText(Socks4Host(), server);
    handler.ReportError(this, "Open", 0,
                        "Connecting to socks4 server @" + server + ":" + NumberToText(Socks4Port()),
                        Info);
    SetViaProxy(true);
    connect_ip = Socks4Host();
    connect_port = Socks4Port();
  }

  if (sockets::StartConnectIPv4(descriptor, connect_ip, connect_port) == -1) {
    const int code = sockets::LastError();
    if (code == WSAEWOULDBLOCK) {
      handler.ReportError(this, "connect: connection pending", code, SocketErrorText(code), Info);
      AttachDescriptor(descriptor);
      SetConnecting(true);
    } else if (ViaProxy() && handler.ProxyFallback()) {
      sockets::Close(descriptor);
      return Connect(address, port, /*skip_socks=*/true);
    } else if (WantsReconnect()) {
      handler.ReportError(this, "connect: failed, reconnect pending", code, SocketErrorText(code),
                          Info);
      AttachDescriptor(descriptor);
      SetConnecting(true);
    } else {
      handler.ReportError(this, "connect: failed", code, SocketErrorText(code), Fatal);
      SetCloseAndDelete(true);
      sockets::Close(descriptor);
      return false;
    }
  } else {
    handler.ReportError(this, "connect", 0, "connection established", Info);
    AttachDescriptor(descriptor);
    SetCallOnConnect(true);
    handler.ReportError(this, "SetCallOnConnect", 0, "connect() returns != -1", Info);
  }
  return true;
}

void TcpSocket::SendBuf(const void* bytes, std::size_t length, std::int32_t /*flags*/) {
  _output.append(static_cast<const char*>(bytes), length);
  Flush();
}

void TcpSocket::SendText(const std::string& text, std::int32_t flags) {
  SendBuf(text.data(), text.size(), flags);
}

std::string TcpSocket::TakeInput() {
  std::string taken;
  taken.swap(_input);
  const int descriptor = GetDescriptor();
  if (_input_full && descriptor != -1) {
    _input_full = false;
    ServingHandler().SetInterest(descriptor, /*read=*/true, !_output.empty(), /*except=*/true);
  }
  return taken;
}

void TcpSocket::OnRead() {
  char chunk[kReceiveChunk];
  const long n = sockets::Receive(GetDescriptor(), chunk, sizeof chunk, 0);
  if (n > 0) {
    _input.append(chunk, static_cast<std::size_t>(n));
    if (_input.size() >= kInputLimit) {
      // A peer may send faster than the owner takes: the rest waits with the peer.
      _input_full = true;
      ServingHandler().SetInterest(GetDescriptor(), /*read=*/false, !_output.empty(),
                                   /*except=*/true);
    }
    // While the SOCKS4 reply is awaited, the handler hands the bytes to OnSocks4Read.
    if (!ViaProxy()) OnInput();
    return;
  }
  if (n == 0) {
    if (ViaProxy()) {
      ServingHandler().ReportError(this, "OnSocks4Read", 0, "socks4 server closed the connection",
                                   Fatal);
    }
    Lose();
    return;
  }
  const int code = sockets::LastError();
  if (code == WSAEWOULDBLOCK) return;
  ServingHandler().ReportError(this, "recv", code, SocketErrorText(code), Error);
  Lose();
}

void TcpSocket::OnWritable() { Flush(); }

void TcpSocket::Flush() {
  const int descriptor = GetDescriptor();
  if (descriptor == -1 || !IsPeerConnected() || ViaProxy() || _lost) return;
  SocketHandler& handler = ServingHandler();
  while (!_output.empty()) {
    const long n = sockets::Send(descriptor, _output.data(), _output.size(), 0);
    if (n > 0) {
      _output.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    const int code = sockets::LastError();
    if (code == WSAEWOULDBLOCK) break;
    handler.ReportError(this, "send", code, SocketErrorText(code), Error);
    Lose();
    return;
  }
  handler.SetInterest(descriptor, handler.ReadInterest(descriptor), !_output.empty(),
                      /*except=*/true);
}

void TcpSocket::Lose() {
  _lost = true;
  if (ViaProxy()) {
    OnSocks4ConnectFailed();
  } else {
    SetCloseAndDelete(true);
  }
}

void TcpSocket::OnSocks4Connect() {
  // Version, command, port (network order), address (as stored: network order), user, NUL.
  std::string request;
  request.push_back(static_cast<char>(kSocks4Version));
  request.push_back(static_cast<char>(kSocks4Connect));
  request.push_back(static_cast<char>(TargetPort() >> 8));
  request.push_back(static_cast<char>(TargetPort() & 0xFF));
  const std::uint32_t ip = TargetIp();
  request.append(reinterpret_cast<const char*>(&ip), sizeof ip);
  request.append(_socks4_user);
  request.push_back('\0');
  // The request is the first thing sent on a new connection, which takes it whole.
  const long n = sockets::Send(GetDescriptor(), request.data(), request.size(), 0);
  if (n != static_cast<long>(request.size())) {
    const int code = n == -1 ? sockets::LastError() : 0;
    ServingHandler().ReportError(this, "OnSocks4Connect", code,
                                 n == -1 ? SocketErrorText(code) : "request not sent whole", Fatal);
    OnSocks4ConnectFailed();
    return;
  }
  // The connect lasts until the server grants it, within the limit of the whole connect.
  ResumeConnecting();
}

void TcpSocket::OnSocks4ConnectFailed() {
  SocketHandler& handler = ServingHandler();
  SetConnecting(false);
  if (handler.ProxyFallback() && Socks4Host() != 0) {
    handler.ReportError(this, "OnSocks4ConnectFailed", 0, "Connecting without socks4 server", Info);
    // The handler's retry step connects again, now straight to the target.
    ForgetSocks4Server();
    SetRetryClientConnect(true);
    return;
  }
  FailConnect();
}

bool TcpSocket::OnSocks4Read() {
  const std::size_t wanted = _socks4_reply.size() - _socks4_reply_length;
  const std::size_t taken = wanted < _input.size() ? wanted : _input.size();
  for (std::size_t i = 0; i < taken; ++i) {
    _socks4_reply[_socks4_reply_length++] = static_cast<std::uint8_t>(_input[i]);
  }
  _input.erase(0, taken);
  if (_socks4_reply_length < _socks4_reply.size()) return false;

  SocketHandler& handler = ServingHandler();
  const std::uint8_t code = _socks4_reply[1];
  if (_socks4_reply[0] != 0 || code != kSocks4Granted) {
    handler.ReportError(this, "OnSocks4Read", code, "socks4 server refused the connection", Fatal);
    OnSocks4ConnectFailed();
    return true;
  }
  handler.ReportError(this, "OnSocks4Read", code, "Connection established through socks4 server",
                      Info);
  SetConnecting(false);
  SetViaProxy(false);
  MarkConnected(true);
  Flush();
  if (IsReconnecting()) {
    SetReconnecting(false);
    OnReconnected();
  } else {
    OnConnect();
  }
  if (!_input.empty()) OnInput();
  return true;
}

void TcpSocket::OnInput() {}

}  // namespace fp
