#pragma once

#include "net/Thread.h"

#include <atomic>
#include <mutex>

namespace fp {

class Socket;
class SocketHandler;

// Serves one detached socket on a private SocketHandler of its own, in passes of half a second,
// until that handler holds no socket any more or the thread is asked to end; then it destroys
// the handler, which closes what it still holds and deletes what it is to delete. Created and
// released by Socket::StartSocketThread, whose caller (the handler that detached the socket)
// owns it; from the release on, the socket belongs to this thread.
//
// When the thread is joined, a served socket that was not deleted goes back to the handler it
// was made for, as a socket that handler let go of. The joining happens on the thread that runs
// that handler: when it deletes this object, or when the socket's owner ends the socket's thread
// (Socket::EndOwnThread).
class SocketThread : public Thread {
 public:
  // Records itself as the socket's serving thread.
  explicit SocketThread(Socket& socket);
  // Ends and joins the thread, and hands the socket back unless it was deleted.
  ~SocketThread() override;

  void Execute() override;

  // Asks the body to end and wakes the pass its handler is waiting in, so that it ends at once
  // rather than after its half second. Safe to call from any thread.
  void RequestStop();

  // The socket's owner takes it back: the thread is asked to end without its handler closing or
  // deleting the socket, joined, and the socket handed back. Once the thread has been joined,
  // it does nothing.
  void ReturnSocket();

  // Called by the served socket's destructor when it runs on this thread.
  void ServedSocketDeleted() { _socket_deleted = true; }

  bool IsCurrentThread() const;

 private:
  // Ends and joins the thread and hands the socket back, the first time only.
  void Finish();

  Socket& _served_socket;  // not owned
  // Guarded by _handler_mutex (the thread, and whoever asks it to stop): the private handler
  // while it exists, else null.
  std::mutex _handler_mutex;
  SocketHandler* _handler = nullptr;
  // Set by the joining side before it asks the thread to end.
  std::atomic<bool> _leave_socket{false};
  // Written by the thread, read by the joining side once the thread is joined.
  bool _socket_deleted = false;
  // The joining side's: the thread has been joined and the socket handed back.
  bool _finished = false;
};

}  // namespace fp
