// The steps of the handler's pass that a stream connection takes its own way: connect outcome,
// time-out and retry, the graceful close, the reconnect and the pool.

#include "net/PoolSocket.h"
#include "net/SocketError.h"
#include "net/SocketHandler.h"
#include "net/SocketOps.h"
#include "net/TcpSocket.h"

namespace fp {

namespace {

// Seconds a connected stream socket marked for closing may take to send what it still has.
constexpr std::int64_t kGracefulCloseSeconds = 5;

}  // namespace

void TcpSocket::TakeSocks4Reply() {
  bool complete = false;
  // A complete reply may have called OnConnect, which may have deleted the socket: the loop
  // looks at nothing once the reply is complete.
  while (!complete && InputPending() > 0 && !CloseAndDeletePending()) complete = OnSocks4Read();
}

void TcpSocket::OnConnectEstablished() {
  MarkConnected(true);
  if (!_output.empty()) OnWritable();
  if (!_reconnecting) {
    Socket::OnConnectEstablished();
    return;
  }
  _reconnecting = false;
  OnReconnected();
}

void TcpSocket::OnConnectError() {
  if (!RetriesLeft()) FailConnect();
}

void TcpSocket::OnConnectTimeout() {
  if (!RetriesLeft()) {
    FailConnect();
    return;
  }
  SetRetriesMade(RetriesMade() + 1);
  if (MayRetryConnect()) {
    SetRetryClientConnect(true);
  } else {
    FailConnect();
  }
}

bool TcpSocket::RetryConnect() {
  ConnectAgain(/*lost=*/false);
  return true;
}

void TcpSocket::ConnectAgain(bool lost) {
  if (lost) {
    SetCloseAndDelete(false);
    _reconnecting = true;
    MarkConnected(false);
  }
  Close();
  if (lost) OnConnectionLost();
  Connect(TargetIp(), TargetPort(), /*skip_socks=*/false);
  if (lost) SetRetriesMade(0);
}

Socket::Closing TcpSocket::OnCloseDue() {
  SocketHandler& handler = ServingHandler();
  const bool connected = IsPeerConnected();
  const bool pooled = connected && !_lost && KeepForPool() && handler.Pooling();
  // Waiting is worth it only while the connection can still take output: not once it is lost,
  // and not for a connection that stays open in the pool.
  if (connected && !_lost && !pooled && SecondsClosing() < kGracefulCloseSeconds) {
    if (!_output.empty()) {
      handler.ReportError(this, "Closing", static_cast<std::int32_t>(_output.size()),
                          "Sending all data before closing", Info);
    } else if ((ShutdownDone() & 1) == 0) {
      if (sockets::ShutdownSend(GetDescriptor()) == -1) {
        const int code = sockets::LastError();
        handler.ReportError(this, "graceful shutdown", code, SocketErrorText(code), Error);
      }
      SetShutdownDone(1);
    }
    return Closing::kWait;
  }
  if (connected && WantsReconnect()) {
    ConnectAgain(/*lost=*/true);
    return Closing::kReopen;
  }
  if (connected && !_output.empty()) {
    handler.ReportError(this, "Closing", static_cast<std::int32_t>(_output.size()),
                        "Closing socket while data still left to send", Warning);
  }
  if (!pooled) return Closing::kClose;
  auto* pool = new PoolSocket(handler, *this);
  pool->SetHandlerDeletes(true);
  handler.Add(pool);
  // The descriptor belongs to the pool socket now; this socket lets go of it, so that neither
  // its destructor nor a later Open of the same object touches it.
  SetCloseAndDelete(false);
  AttachDescriptor(-1);
  MarkConnected(false);
  SetKeepForPool(false);
  return Closing::kPooled;
}

}  // namespace fp
