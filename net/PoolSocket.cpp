#include "net/PoolSocket.h"

#include "net/SocketHandler.h"

namespace fp {

PoolSocket::PoolSocket(SocketHandler& handler, const Socket& kept) : Socket(handler) {
  TakeOverConnection(kept);
  SetOutgoing(true);
}

PoolSocket::~PoolSocket() = default;

void PoolSocket::OnRead() {
  ServingHandler().ReportError(this, "OnRead", 0, "data on hibernating socket", Fatal);
  SetCloseAndDelete(true);
}

}  // namespace fp
