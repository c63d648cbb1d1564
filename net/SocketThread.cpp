#include "net/SocketThread.h"

#include "net/Socket.h"
#include "net/SocketHandler.h"

namespace fp {

namespace {

// The longest wait of one pass of the private handler.
constexpr long kPassMicroseconds = 500000;

}  // namespace

SocketThread::SocketThread(Socket& socket) : _served_socket(socket) {
  socket.SetServingThread(this);
}

SocketThread::~SocketThread() { Finish(); }

void SocketThread::RequestStop() {
  // Cleared before the handler is looked at: a body that sets its handler after this look sees
  // the request when it next tests IsRunning, before its first pass.
  SetRunning(false);
  const std::lock_guard<std::mutex> lock(_handler_mutex);
  if (_handler != nullptr) _handler->Wake();
}

void SocketThread::ReturnSocket() {
  // Set before the request to end, which the thread sees first.
  _leave_socket.store(true);
  Finish();
}

bool SocketThread::IsCurrentThread() const { return GetThreadId() == std::this_thread::get_id(); }

void SocketThread::Finish() {
  if (_finished) return;
  _finished = true;
  RequestStop();
  StopAndJoin();
  if (!_socket_deleted) _served_socket.Handler().TakeBack(&_served_socket);
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
  // The owner ends the socket itself: the private handler lets go of it as it is.
  if (_leave_socket.load() && !_socket_deleted) handler.LetGoUntouched(&_served_socket);
  const std::lock_guard<std::mutex> lock(_handler_mutex);
  _handler = nullptr;
}

}  // namespace fp
