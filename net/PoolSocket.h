#pragma once

#include "net/Socket.h"

namespace fp {

// Stands in the handler's registry for an idle outgoing stream connection kept for reuse. It
// takes over the kept socket's descriptor; data arriving on it ends the idle connection. The
// handler creates it with HandlerDeletes() set.
class PoolSocket : public Socket {
 public:
  PoolSocket(SocketHandler& handler, const Socket& kept);
  ~PoolSocket() override;

  // Reports "data on hibernating socket" (Fatal) and marks the socket for closing.
  void OnRead() override;
};

}  // namespace fp
