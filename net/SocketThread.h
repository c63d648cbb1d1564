#pragma once

#include "net/Thread.h"

#include <mutex>

namespace fp {

class Socket;
class SocketHandler;

// Serves one detached socket on a private SocketHandler of its own, in passes of half a second,
// until that handler holds no socket any more or the thread is asked to end; then it destroys
// the handler (which closes what it still holds, deletes what it is to delete and hands the rest
// back to the handler they were made for). Created and released by Socket::StartSocketThread,
// whose caller owns it; from the release on, the socket belongs to this thread.
class SocketThread : public Thread {
 public:
  explicit SocketThread(Socket& socket);
  // Asks the body to end (RequestStop) and joins the thread.
  ~SocketThread() override;

  void Execute() override;

  // Asks the body to end and wakes the pass its handler is waiting in, so that it ends at once
  // rather than after its half second. Safe to call from any thread.
  void RequestStop();

 private:
  Socket& _served_socket;  // not owned
  // Guarded by _handler_mutex (the thread, and whoever asks it to stop): the private handler
  // while it exists, else null.
  std::mutex _handler_mutex;
  SocketHandler* _handler = nullptr;
};

}  // namespace fp
