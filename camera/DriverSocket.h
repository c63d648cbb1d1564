#pragma once

#include "net/SocketHandler.h"
#include "nudp/NudpSocket.h"

#include <memory>
#include <new>

namespace fp {

// Makes a handler and the NUDP socket it serves, for one of the driver's threads. Throws
// `no_handler` when the handler cannot be made and `no_socket` when the socket cannot be made
// or got no descriptor: the texts of the constructor that asks, which fails as it says.
inline void MakeHandlerAndSocket(std::unique_ptr<SocketHandler>& handler,
                                 std::unique_ptr<NudpSocket>& nudp, const char* no_handler,
                                 const char* no_socket) {
  try {
    handler = std::make_unique<SocketHandler>();
  } catch (const std::bad_alloc&) {
    throw no_handler;
  }
  try {
    nudp = std::make_unique<NudpSocket>(*handler);
  } catch (const std::bad_alloc&) {
    throw no_socket;
  }
  if (nudp->GetDescriptor() == -1) throw no_socket;
}

}  // namespace fp
