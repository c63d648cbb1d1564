#include "net/SocketHandler.h"

#include "net/PoolSocket.h"
#include "net/Socket.h"
#include "net/SocketError.h"
#include "net/SocketThread.h"

#include <algorithm>

namespace fp {

void SocketHandler::EraseFirst(std::vector<int>& list, int descriptor) {
  const auto it = std::find(list.begin(), list.end(), descriptor);
  if (it != list.end()) list.erase(it);
}

void SocketHandler::Unlist(int descriptor) {
  for (std::vector<int>& list : _work) EraseFirst(list, descriptor);
}

SocketHandler::SocketHandler(SocketLog* log) : _sink(log) {
  if (const int code = _poller.WakeEventError(); code != 0) {
    ReportError(nullptr, "eventfd", code, SocketErrorText(code), Warning);
  }
  _walk.reserve(kSetSize);
}

SocketHandler::~SocketHandler() {
  // The detached sockets' threads first: their sockets may still refer to this handler, and
  // those not deleted come back to it.
  EndThreads();
  // Every socket the handler still knows is closed and told that the handler has let go of it,
  // so that its destructor, run later by its owner, never reaches this handler. A socket added
  // twice is met twice but treated once.
  std::vector<Socket*> known;
  known.reserve(_registry.size() + _add_queue.size() + _delete_queue.size() + _let_go.size());
  for (const auto& [descriptor, p] : _registry) known.push_back(p);
  for (const auto& [descriptor, p] : _add_queue) known.push_back(p);
  known.insert(known.end(), _delete_queue.begin(), _delete_queue.end());
  known.insert(known.end(), _let_go.begin(), _let_go.end());
  const std::size_t registered = _registry.size();
  _registry.clear();
  _add_queue.clear();
  _delete_queue.clear();
  _let_go.clear();
  for (std::size_t i = 0; i < known.size(); ++i) {
    Socket* p = known[i];
    if (p == nullptr || std::find(known.begin(), known.begin() + static_cast<long>(i), p) !=
                            known.begin() + static_cast<long>(i)) {
      continue;
    }
    // Registered sockets are closed whatever their state; the others only when still open.
    if (i < registered || p->GetDescriptor() != -1) p->Close();
    if (p->HandlerDeletes()) {
      p->SetReleasedByHandler(true);
      delete p;
    } else if (!ServesForAnother(p)) {
      p->SetReleasedByHandler(true);
    }
    // A socket served for another handler goes back to it once this thread is joined.
  }
}

void SocketHandler::Add(Socket* p) {
  const int descriptor = p->GetDescriptor();
  if (descriptor == -1) {
    ReportError(p, "Add", -1, "Invalid socket", Warning);
    if (p->CloseAndDeletePending()) QueueForDeletion(p);
    return;
  }
  const auto queued = _add_queue.find(descriptor);
  if (queued != _add_queue.end()) {
    ReportError(p, "Add", descriptor, "Attempt to add socket already in add queue", Fatal);
    // The same object added twice stays queued once; deleting it here would leave the queue
    // holding a dangling pointer.
    if (queued->second != p) QueueForDeletion(p);
    return;
  }
  _add_queue.emplace(descriptor, p);
}

void SocketHandler::RegisterQueued() {
  while (!_add_queue.empty()) {
    if (_registry.size() >= kSetSize) {
      ReportError(nullptr, "Select", static_cast<std::int32_t>(_registry.size()),
                  "FD_SETSIZE reached", Warning);
      return;
    }
    const auto first = _add_queue.begin();
    const int d = first->first;
    Socket* p = first->second;
    _add_queue.erase(first);

    const auto registered = _registry.find(d);
    if (registered != _registry.end()) {
      Socket* holder = registered->second;
      if (holder != nullptr && holder->GetDescriptor() == d) {
        ReportError(p, "Add", d, "Attempt to add socket already in controlled queue", Fatal);
        // A socket added again after its registration stays registered, and is not deleted.
        if (holder != p) QueueForDeletion(p);
        continue;
      }
      // The holder closed its descriptor without leaving the registry, and the system has
      // handed the number out again: the old entry is stale. A holder the handler owns would
      // otherwise never be deleted.
      _registry.erase(registered);
      EraseFirst(_order, d);
      if (holder != nullptr && holder != p && holder->HandlerDeletes()) {
        std::erase(_let_go, holder);
        holder->SetReleasedByHandler(true);
        delete holder;
      }
    }

    // A connect completes by becoming writable; other sockets are watched for reading, and for
    // writing while output waits.
    if (p->IsConnecting()) {
      SetInterest(d, /*read=*/false, /*write=*/true, /*except=*/true);
    } else {
      SetInterest(d, /*read=*/true, /*write=*/p->OutputPending() > 0, /*except=*/true);
    }
    if (static_cast<unsigned>(d) > static_cast<unsigned>(_highest)) _highest = d;
    _order.push_back(d);
    _registry.emplace(d, p);
    ListPendingWork(p, d);
  }
}

void SocketHandler::ListPendingWork(Socket* p, int descriptor) {
  // A socket meets a handler's work lists only through its flag setters, which list it with the
  // handler serving it at that moment. One that set a flag before it had a descriptor, or that
  // comes to a thread's handler with work pending, is listed here.
  const bool wanted[] = {p->CallOnConnect(), !_thread_private && p->ThreadWanted(),
                         p->IsConnecting(), p->RetryConnectPending(), p->CloseAndDeletePending()};
  for (std::size_t w = 0; w < _work.size(); ++w) {
    std::vector<int>& list = _work[w];
    if (wanted[w] && std::find(list.begin(), list.end(), descriptor) == list.end()) {
      list.push_back(descriptor);
    }
  }
}

void SocketHandler::Unregister() {
  while (!_to_unregister.empty()) {
    const int d = _to_unregister.front();
    EraseFirst(DetachList(), d);
    EraseFirst(_order, d);
    const auto entry = _registry.find(d);
    if (entry != _registry.end()) {
      Socket* p = entry->second;
      _registry.erase(entry);
      if (p != nullptr && p->ReleasedByHandler()) delete p;
    }
    _to_unregister.erase(_to_unregister.begin());
  }
  RecomputeHighest();
}

void SocketHandler::RunDeletions() {
  while (!_delete_queue.empty()) {
    Socket* p = _delete_queue.front();
    // Out of the queue before OnReleased, which may delete the socket.
    _delete_queue.erase(_delete_queue.begin());
    const bool handler_deletes = p->HandlerDeletes();
    if (!handler_deletes) {
      LetGo(p);
      p->OnReleased();
      continue;
    }
    p->OnReleased();
    // A socket added again after it was registered (say, closed by its owner and marked) may
    // still stand in the registry or the add queue: no pointer to it may stay behind.
    Forget(p);
    p->SetReleasedByHandler(true);
    delete p;
  }
}

void SocketHandler::LetGo(Socket* p) {
  if (ServesForAnother(p)) {
    Forget(p);
  } else if (std::find(_let_go.begin(), _let_go.end(), p) == _let_go.end()) {
    _let_go.push_back(p);
  }
}

bool SocketHandler::ServesForAnother(const Socket* p) const {
  return _thread_private && p->HasOwnThread() && &p->ServingHandler() == this;
}

std::int32_t SocketHandler::Forget(Socket* p) {
  std::int32_t where = 0;
  for (auto it = _registry.begin(); it != _registry.end(); ++it) {
    if (it->second != p) continue;
    where = -1;
    // The descriptor leaves the dispatch order too: otherwise a socket registered later under
    // the same number would be listed twice.
    const int d = it->first;
    _registry.erase(it);
    EraseFirst(_order, d);
    RecomputeHighest();
    break;
  }
  for (auto it = _add_queue.begin(); it != _add_queue.end(); ++it) {
    if (it->second != p) continue;
    if (where == 0) where = -2;
    _add_queue.erase(it);
    break;
  }
  std::erase(_let_go, p);
  return where;
}

void SocketHandler::RecomputeHighest() {
  _highest = 0;
  for (const int d : _order) {
    if (static_cast<unsigned>(d) > static_cast<unsigned>(_highest)) _highest = d;
  }
}

void SocketHandler::Remove(Socket* p) {
  if (p->ReleasedByHandler()) return;
  // A socket given to Add twice may stand in more than one place; every one goes, so that no
  // pointer to the dying object stays behind. The report names the first place found.
  std::int32_t where = Forget(p);
  const auto queued = std::find(_delete_queue.begin(), _delete_queue.end(), p);
  if (queued != _delete_queue.end()) {
    if (where == 0) where = -3;
    _delete_queue.erase(queued);
  }
  if (where != 0) {
    ReportError(p, "Remove", where, "Socket destructor called while still in use", Warning);
  }
}

void SocketHandler::TakeBack(Socket* p) {
  p->SetOwnThread(false);
  p->SetThreadHandler(nullptr);
  p->SetServingThread(nullptr);
  if (std::find(_let_go.begin(), _let_go.end(), p) == _let_go.end()) _let_go.push_back(p);
}

void SocketHandler::LetGoUntouched(Socket* p) {
  Forget(p);
  std::erase(_delete_queue, p);
}

Socket* SocketHandler::TakePooledConnection(std::int32_t type, const std::string& protocol,
                                            std::uint32_t address, std::uint16_t port) {
  // Registered pool sockets first, in descriptor order, then those still queued (kept in this
  // very pass).
  for (std::map<int, Socket*>* where : {&_registry, &_add_queue}) {
    for (const auto& [d, p] : *where) {
      auto* pool = dynamic_cast<PoolSocket*>(p);
      if (pool == nullptr || pool->CloseAndDeletePending() || pool->SocketType() != type ||
          pool->ProtocolName() != protocol || pool->TargetIp() != address ||
          pool->TargetPort() != port) {
        continue;
      }
      SetInterest(d, /*read=*/false, /*write=*/false, /*except=*/false);
      Forget(pool);
      pool->SetKeepForPool(true);
      return pool;
    }
  }
  return nullptr;
}

void SocketHandler::QueueForDeletion(Socket* p) {
  if (std::find(_delete_queue.begin(), _delete_queue.end(), p) == _delete_queue.end()) {
    _delete_queue.push_back(p);
  }
}

Socket* SocketHandler::FindSocket(int descriptor) const {
  const auto it = _registry.find(descriptor);
  return it == _registry.end() ? nullptr : it->second;
}

void SocketHandler::ReportError(Socket* p, const std::string& call, std::int32_t code,
                                const std::string& text, ReportLevel level) {
  if (_sink != nullptr) _sink->Report(*this, p, call, code, text, level);
}

}  // namespace fp
