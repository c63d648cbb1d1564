// Detaching: the handler hands a socket that asked for it to a SocketThread of its own, and
// owns that thread from then on. It joins the threads whose private handler ran empty as its
// passes meet them, and ends and joins the others when it is destroyed; a socket's owner may end
// its thread earlier (Socket::EndOwnThread). Joining a thread brings its socket back, unless the
// thread deleted it.

#include "net/Socket.h"
#include "net/SocketHandler.h"
#include "net/SocketThread.h"

#include <vector>

namespace fp {

void SocketHandler::RunDetaching() {
  // Walks a copy: clearing a socket's wish takes its entry out of the list. The handler forgets
  // the socket completely before it starts the thread, which may serve the socket, and even
  // delete it, at once.
  const std::vector<int> copy = DetachList();
  for (const int d : copy) {
    Socket* p = SocketAt(d);
    if (p == nullptr || !p->ThreadWanted()) continue;
    SetInterest(d, /*read=*/false, /*write=*/false, /*except=*/false);
    // Handed over once: should it come back to this handler, it stays here.
    p->SetThreadWanted(false);
    Unlist(d);
    Forget(p);
    _to_unregister.push_back(d);
    _threads.push_back(p->StartSocketThread());
  }
}

void SocketHandler::JoinEndedThreads() {
  // A thread that is no longer running has left its body, or is about to: joining it costs at
  // most that moment.
  std::erase_if(_threads,
                [](const std::unique_ptr<SocketThread>& thread) { return !thread->IsRunning(); });
}

void SocketHandler::EndThreads() {
  // All are asked first, so that they end together, then joined one by one.
  for (const std::unique_ptr<SocketThread>& thread : _threads) thread->RequestStop();
  _threads.clear();
}

}  // namespace fp
