#pragma once

#include "net/Thread.h"

namespace fp {

class Socket;

// Serves one detached socket on a private SocketHandler of its own, in passes of half a second,
// until that handler holds no socket any more or the thread is asked to end; then it destroys
// the handler (which closes what it still holds and deletes what it is to delete) and deletes
// itself. Created and released by Socket::StartSocketThread; from the release on, the socket
// belongs to this thread.
class SocketThread : public Thread {
 public:
  explicit SocketThread(Socket& socket);
  // Asks the body to end and waits for it. Only for a thread that has not begun to delete
  // itself; a released SocketThread is normally left to do so.
  ~SocketThread() override;

  void Execute() override;

 private:
  Socket& _served_socket;  // not owned
};

}  // namespace fp
