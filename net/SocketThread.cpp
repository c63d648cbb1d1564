#include "net/SocketThread.h"

#include "net/Socket.h"
#include "net/SocketHandler.h"

namespace fp {

namespace {

// The longest wait of one pass of the private handler.
constexpr long kPassMicroseconds = 500000;

}  // namespace

SocketThread::SocketThread(Socket& socket) : _served_socket(socket) {}

SocketThread::~SocketThread() {
  RequestStop();
  StopAndJoin();
}

void SocketThread::RequestStop() {
  // Cleared before the handler is looked at: a body that sets its handler after this look sees
  // the request when it next tests IsRunning, before its first pass.
  SetRunning(false);
  const std::lock_guard<std::mutex> lock(_handler_mutex);
  if (_handler != nullptr) _handler->Wake();
}

void SocketThread::Execute() {
  SocketHandler handler;
  // A private handler never hands its sockets on to further threads.
  handler.MarkThreadPrivate(true);
  handler.Add(&_served_socket);
  _served_socket.SetThreadHandler(&handler);
  _served_socket.SetOwnThread(true);
  {
    const std::lock_guard<std::mutex> lock(_handler_mutex);
    _handler = &handler;
  }
  _served_socket.OnThreadStarted();
  while (handler.SocketCount() != 0 && IsRunning()) handler.Select(0, kPassMicroseconds);
  const std::lock_guard<std::mutex> lock(_handler_mutex);
  _handler = nullptr;
}

}  // namespace fp
