#include "net/SocketThread.h"

#include "net/Socket.h"
#include "net/SocketHandler.h"

namespace fp {

namespace {

// The longest wait of one pass of the private handler.
constexpr long kPassMicroseconds = 500000;

}  // namespace

SocketThread::SocketThread(Socket& socket) : _served_socket(socket) {}

SocketThread::~SocketThread() { StopAndJoin(); }

void SocketThread::Execute() {
  SocketHandler handler;
  // A private handler never hands its sockets on to further threads.
  handler.MarkThreadPrivate(true);
  handler.Add(&_served_socket);
  _served_socket.SetThreadHandler(&handler);
  _served_socket.SetOwnThread(true);
  _served_socket.OnThreadStarted();
  while (handler.SocketCount() != 0 && IsRunning()) handler.Select(0, kPassMicroseconds);
  SetDeleteOnExit(true);
}

}  // namespace fp
