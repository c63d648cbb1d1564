#include "net/Socket.h"

#include "net/SocketError.h"
#include "net/SocketHandler.h"
#include "net/SocketOps.h"
#include "net/SocketThread.h"

#include <sys/socket.h>
#include <vector>

namespace fp {

namespace {

using Clock = std::chrono::steady_clock;
using Work = SocketHandler::Work;

std::int64_t WholeSecondsSince(Clock::time_point then) {
  return std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - then).count();
}

// Lists the descriptor once, at the end, or takes it out.
void KeepListed(std::vector<int>& list, int descriptor, bool listed) {
  if (descriptor == -1) return;
  SocketHandler::EraseFirst(list, descriptor);
  if (listed) list.push_back(descriptor);
}

}  // namespace

Socket::Socket(SocketHandler& handler)
    : _handler(handler), _proxy_host(handler.ProxyHost()), _proxy_port(handler.ProxyPort()) {}

Socket::~Socket() {
  EndOwnThread();
  for (DeleteWatch* watch = _delete_watch; watch != nullptr; watch = watch->_outer) {
    watch->_socket = nullptr;
  }
  // Deleted on the thread that serves it: that thread hands nothing back.
  if (_serving_thread != nullptr) _serving_thread->ServedSocketDeleted();
  // Once the handler has let go for good, it may already be gone: do not touch it at all.
  if (!_unregistered) ServingHandler().Remove(this);
  if (_descriptor != -1 && !_keep_for_pool) Close();
}

void Socket::EndOwnThread() {
  if (_serving_thread == nullptr || _serving_thread->IsCurrentThread()) return;
  // Joins the thread and hands the socket back, which clears _serving_thread.
  _serving_thread->ReturnSocket();
}

SocketHandler& Socket::ServingHandler() const {
  return _on_own_thread && _thread_handler != nullptr ? *_thread_handler : _handler;
}

std::int32_t Socket::Close() {
  EndOwnThread();
  SocketHandler& handler = ServingHandler();
  if (_descriptor == -1) {
    handler.ReportError(this, "Socket::Close", 0, "file descriptor invalid", Warning);
    return 0;
  }
  SetNonBlockingMode(true);
  if (_connected && sockets::ShutdownSend(_descriptor) == -1) {
    const int code = sockets::LastError();
    handler.ReportError(this, "shutdown", code, SocketErrorText(code), Error);
  }
  char scratch[100];
  const long n = sockets::Receive(_descriptor, scratch, sizeof scratch, 0);
  if (n > 0) {
    handler.ReportError(this, "read() after shutdown", static_cast<std::int32_t>(n), "bytes read",
                        Warning);
  }
  const int rc = sockets::Close(_descriptor);
  if (rc == -1) {
    const int code = sockets::LastError();
    handler.ReportError(this, "close", code, SocketErrorText(code), Error);
  }
  handler.SetInterest(_descriptor, /*read=*/false, /*write=*/false, /*except=*/false);
  handler.Unlist(_descriptor);
  _descriptor = -1;
  return rc;
}

void Socket::OnRead() {}
void Socket::OnWritable() {}

void Socket::OnExceptCondition() {
  if (_connecting) {
    if (_via_proxy) {
      OnSocks4ConnectFailed();
      return;
    }
    // With retries left, the handler's connect time-out retries later.
    if (!RetriesLeft()) FailConnect();
    return;
  }
  int code = 0;
  sockets::PendingError(_descriptor, code);
  ServingHandler().ReportError(this, "exception on select", code, SocketErrorText(code), Fatal);
  SetCloseAndDelete(true);
}

void Socket::OnReleased() {}
void Socket::OnConnect() {}
void Socket::OnConnectFailure() {}

void Socket::OnDescriptorCreated(std::int32_t /*family*/, std::int32_t /*type*/,
                                 std::int32_t /*protocol*/, int /*descriptor*/) {
  _want_reuseaddr = true;
  _want_keepalive = true;
}

void Socket::OnSocks4Connect() {
  ServingHandler().ReportError(this, "OnSocks4Connect", 0, "Use with TcpSocket only", Warning);
}

void Socket::OnSocks4ConnectFailed() {
  ServingHandler().ReportError(this, "OnSocks4ConnectFailed", 0, "Use with TcpSocket only",
                               Warning);
}

bool Socket::OnSocks4Read() {
  ServingHandler().ReportError(this, "OnSocks4Read", 0, "Use with TcpSocket only", Warning);
  return true;
}

bool Socket::MayRetryConnect() { return true; }
void Socket::OnReconnected() {}
void Socket::OnConnectionLost() {}

bool Socket::ConnectOutcome() {
  SocketHandler& handler = ServingHandler();
  int code = 0;
  sockets::PendingError(_descriptor, code);
  // A connect that failed at once (and was left pending for a later retry) leaves a descriptor
  // that is writable without a pending error, yet has no peer: that is no connection either.
  if (code == 0 && !sockets::HasPeer(_descriptor)) code = WSAENOTCONN;
  if (code != 0) {
    handler.ReportError(this, "connect failed", code, SocketErrorText(code), Fatal);
    handler.SetInterest(_descriptor, /*read=*/false, /*write=*/false, /*except=*/true);
    return false;
  }
  handler.SetInterest(_descriptor, /*read=*/true, /*write=*/false, /*except=*/true);
  SetConnecting(false);
  return true;
}

void Socket::OnThreadStarted() {}

std::size_t Socket::OutputPending() const { return 0; }
void Socket::TakeSocks4Reply() {}

void Socket::OnConnectEstablished() {
  ServingHandler().ReportError(this, "Calling OnConnect", 0, "Because CallOnConnect", Info);
  OnConnect();
}

void Socket::OnConnectError() { FailConnect(); }
void Socket::OnConnectTimeout() { FailConnect(); }
bool Socket::RetryConnect() { return false; }
Socket::Closing Socket::OnCloseDue() { return Closing::kClose; }

void Socket::FailConnect() {
  SetCloseAndDelete(true);
  OnConnectFailure();
}

bool Socket::RetriesLeft() const {
  return _retries_allowed == -1 || (_retries_allowed > 0 && _retries_made < _retries_allowed);
}

std::uint16_t Socket::GetPort() {
  ServingHandler().ReportError(this, "GetPort", 0, "GetPort only implemented for ListenSocket",
                               Warning);
  return 0;
}

void Socket::SendBuf(const void* /*bytes*/, std::size_t /*length*/, std::int32_t /*flags*/) {}
void Socket::SendText(const std::string& /*text*/, std::int32_t /*flags*/) {}

void Socket::SetCloseAndDelete(bool x) {
  if (x == _close_and_delete) return;
  KeepListed(ServingHandler().WorkList(Work::kClose), _descriptor, x);
  _close_and_delete = x;
  if (x) _close_time = Clock::now();
}

void Socket::SetConnecting(bool x) {
  if (x == _connecting) return;
  KeepListed(ServingHandler().WorkList(Work::kConnecting), _descriptor, x);
  _connecting = x;
  if (x) _connect_time = Clock::now();
}

void Socket::ResumeConnecting() {
  KeepListed(ServingHandler().WorkList(Work::kConnecting), _descriptor, true);
  _connecting = true;
}

void Socket::RestoreSocks4Server() {
  _proxy_host = _handler.ProxyHost();
  _proxy_port = _handler.ProxyPort();
}

void Socket::SetCallOnConnect(bool x) {
  KeepListed(ServingHandler().WorkList(Work::kCallOnConnect), _descriptor, x);
  _call_on_connect = x;
}

void Socket::SetThreadWanted(bool x) {
  KeepListed(ServingHandler().WorkList(Work::kDetach), _descriptor, x);
  _thread_wanted = x;
}

std::unique_ptr<SocketThread> Socket::StartSocketThread() {
  auto thread = std::make_unique<SocketThread>(*this);
  thread->SetRelease(true);
  return thread;
}

void Socket::SetRetryClientConnect(bool x) {
  KeepListed(ServingHandler().WorkList(Work::kRetry), _descriptor, x);
  _retry_client_connect = x;
}

bool Socket::IsUsable() const { return _descriptor != -1 && !_connecting && !_close_and_delete; }

std::int64_t Socket::SecondsConnecting() const { return WholeSecondsSince(_connect_time); }

std::int64_t Socket::SecondsClosing() const { return WholeSecondsSince(_close_time); }

int Socket::CreateDescriptor(std::int32_t family, std::int32_t type, const std::string& protocol) {
  SocketHandler& handler = ServingHandler();
  _type = type;
  _protocol = protocol;
  int number = 0;
  if (!protocol.empty()) {
    number = sockets::ProtocolNumber(protocol.c_str());
    if (number == -1) {
      const int code = sockets::LastError();
      handler.ReportError(this, "getprotobyname", code, SocketErrorText(code), Fatal);
      SetCloseAndDelete(true);
      return -1;
    }
  }
  const int descriptor = sockets::CreateSocket(family, type, number);
  if (descriptor == -1) {
    const int code = sockets::LastError();
    handler.ReportError(this, "socket", code, SocketErrorText(code), Fatal);
    SetCloseAndDelete(true);
    return -1;
  }
  OnDescriptorCreated(family, type, number, descriptor);
  if (type != SOCK_STREAM) return descriptor;

  struct Option {
    int name;
    bool wanted;
    const char* call;
  };
  const Option options[] = {
      {SO_REUSEADDR, _want_reuseaddr, "setsockopt(SOL_SOCKET, SO_REUSEADDR)"},
      {SO_KEEPALIVE, _want_keepalive, "setsockopt(SOL_SOCKET, SO_KEEPALIVE)"},
  };
  for (const Option& option : options) {
    if (sockets::SetIntOption(descriptor, SOL_SOCKET, option.name, option.wanted ? 1 : 0) == -1) {
      const int code = sockets::LastError();
      handler.ReportError(this, option.call, code, SocketErrorText(code), Fatal);
      sockets::Close(descriptor);
      SetCloseAndDelete(true);
      return -1;
    }
  }
  return descriptor;
}

bool Socket::SetNonBlockingMode(bool on) { return SetNonBlockingMode(on, _descriptor); }

bool Socket::SetNonBlockingMode(bool on, int descriptor) {
  if (sockets::SetNonBlocking(descriptor, on) == 0) return true;
  ServingHandler().ReportError(this, "ioctlsocket(FIONBIO)", sockets::LastError(), "", Warning);
  return false;
}

void Socket::TakeOverConnection(const Socket& other) {
  _descriptor = other._descriptor;
  _type = other._type;
  _protocol = other._protocol;
  _target_ip = other._target_ip;
  _target_port = other._target_port;
}

void Socket::SetKeepForPool(bool x) {
  if (_outgoing) _keep_for_pool = x;
}

}  // namespace fp
