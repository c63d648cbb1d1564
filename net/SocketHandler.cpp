#include "net/SocketHandler.h"

#include "net/PoolSocket.h"
#include "net/Socket.h"
#include "net/SocketError.h"
#include "net/SocketOps.h"
#include "net/TcpSocket.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace fp {

namespace {

// poll results that the descriptor-set wait counts as readable, writable and exceptional.
// Errors and hang-ups count as readable (and errors as writable), so a pending error, such as
// an ICMP port unreachable on a connected datagram socket, reaches OnRead, whose receive
// reports it.
constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
constexpr short kWritable = POLLOUT | POLLERR;
constexpr short kExceptional = POLLPRI;
constexpr int kReadReady = 1;
constexpr int kWriteReady = 2;
constexpr int kExceptReady = 4;

// Seconds a connected stream socket marked for closing may take to send what it still has.
constexpr std::int64_t kGracefulCloseSeconds = 5;

// True when a connect may still be retried after its time-out: without limit (-1), or fewer
// retries made than allowed.
bool RetriesLeft(const Socket& p) {
  const std::int32_t allowed = p.RetriesAllowed();
  return allowed == -1 || (allowed > 0 && p.RetriesMade() < allowed);
}

}  // namespace

void SocketHandler::EraseFirst(std::vector<int>& list, int descriptor) {
  const auto it = std::find(list.begin(), list.end(), descriptor);
  if (it != list.end()) list.erase(it);
}

bool SocketHandler::DescriptorSet::Contains(int descriptor) const {
  return std::find(_descriptors.begin(), _descriptors.begin() + static_cast<long>(_count),
                   descriptor) != _descriptors.begin() + static_cast<long>(_count);
}

void SocketHandler::DescriptorSet::Insert(int descriptor) {
  if (_count == kSetSize || Contains(descriptor)) return;
  _descriptors[_count++] = descriptor;
}

void SocketHandler::DescriptorSet::Erase(int descriptor) {
  for (std::size_t i = 0; i < _count; ++i) {
    if (_descriptors[i] == descriptor) {
      _descriptors[i] = _descriptors[--_count];
      return;
    }
  }
}

SocketHandler::SocketHandler(SocketLog* log) : _sink(log), _wake_event(sockets::CreateWakeEvent()) {
  if (_wake_event == -1) {
    const int code = sockets::LastError();
    ReportError(nullptr, "eventfd", code, SocketErrorText(code), Warning);
  }
  _poll_fds.reserve(3 * kSetSize + 1);
  _walk.reserve(kSetSize);
}

SocketHandler::~SocketHandler() {
  // Every socket the handler still knows is closed and told that the handler has let go of it,
  // so that its destructor, run later by its owner, never reaches this handler. A socket added
  // twice is met twice but treated once.
  std::vector<Socket*> known;
  known.reserve(_registry.size() + _add_queue.size() + _delete_queue.size());
  for (const auto& [descriptor, p] : _registry) known.push_back(p);
  for (const auto& [descriptor, p] : _add_queue) known.push_back(p);
  known.insert(known.end(), _delete_queue.begin(), _delete_queue.end());
  const std::size_t registered = _registry.size();
  _registry.clear();
  _add_queue.clear();
  _delete_queue.clear();
  for (std::size_t i = 0; i < known.size(); ++i) {
    Socket* p = known[i];
    if (p == nullptr || std::find(known.begin(), known.begin() + static_cast<long>(i), p) !=
                            known.begin() + static_cast<long>(i)) {
      continue;
    }
    // Registered sockets are closed whatever their state; the others only when still open.
    if (i < registered || p->GetDescriptor() != -1) p->Close();
    p->SetUnregistered(true);
    if (p->HandlerDeletes()) {
      delete p;
    } else {
      HandBack(p);
    }
  }
  if (_wake_event != -1) sockets::Close(_wake_event);
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

void SocketHandler::Wake() {
  // A failure cannot be reported here: the log belongs to the thread running Select. The only
  // one possible, a counter at its maximum, leaves the event readable anyway.
  if (_wake_event != -1) sockets::SignalWakeEvent(_wake_event);
}

int SocketHandler::Select(long seconds, long microseconds) {
  timeval timeout{};
  timeout.tv_sec = seconds;
  timeout.tv_usec = microseconds;
  return Select(&timeout);
}

int SocketHandler::Select(struct timeval* timeout) {
  RegisterQueued();
  int n = Wait(timeout);
  if (n > 0) n = Dispatch(n);
  if (!_call_on_connect_list.empty()) RunConnectCallbacks();
  if (!_thread_private && !_thread_list.empty()) RunDetaching();
  if (!_connecting_list.empty()) RunConnectTimeouts();
  if (!_retry_list.empty()) RunConnectRetries();
  if (!_close_list.empty()) RunClosing();
  if (!_to_unregister.empty()) Unregister();
  if (!_delete_queue.empty()) RunDeletions();
  return n;
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
        holder->SetUnregistered(true);
        delete holder;
      }
    }

    if (p->IsConnecting()) {
      _read_set.Erase(d);
      _write_set.Insert(d);
      _except_set.Insert(d);
      _muted.Erase(d);
    } else {
      const auto* stream = dynamic_cast<const TcpSocket*>(p);
      const bool output_waiting = stream != nullptr && stream->OutputPending() > 0;
      SetInterest(d, /*read=*/true, /*write=*/output_waiting, /*except=*/true);
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
  const auto list = [descriptor](std::vector<int>& work, bool wanted) {
    if (wanted && std::find(work.begin(), work.end(), descriptor) == work.end()) {
      work.push_back(descriptor);
    }
  };
  list(_call_on_connect_list, p->CallOnConnect());
  if (!_thread_private) list(_thread_list, p->ThreadWanted());
  list(_connecting_list, p->IsConnecting());
  list(_retry_list, p->RetryConnectPending());
  list(_close_list, p->CloseAndDeletePending());
}

int SocketHandler::Wait(struct timeval* timeout) {
  using Clock = std::chrono::steady_clock;
  timespec limit{};
  if (timeout != nullptr) {
    // select accepts any number of microseconds; carry whole seconds over.
    limit.tv_sec = static_cast<time_t>(timeout->tv_sec + timeout->tv_usec / 1000000);
    limit.tv_nsec = static_cast<long>(timeout->tv_usec % 1000000) * 1000;
    if (limit.tv_nsec < 0 && limit.tv_sec > 0) {
      limit.tv_sec -= 1;
      limit.tv_nsec += 1000000000L;
    }
  }
  const bool bounded = timeout != nullptr && limit.tv_sec >= 0 && limit.tv_nsec >= 0;
  const Clock::time_point deadline = bounded ? Clock::now() + std::chrono::seconds(limit.tv_sec) +
                                                   std::chrono::nanoseconds(limit.tv_nsec)
                                             : Clock::time_point{};

  for (;;) {
    const std::size_t watched = BuildPollSet();
    int rc =
        sockets::Poll(_poll_fds.data(), _poll_fds.size(), timeout == nullptr ? nullptr : &limit);
    bool woken = false;
    if (rc > 0 && _poll_fds.size() > watched && (_poll_fds.back().revents & POLLIN) != 0) {
      // Drained whatever else the wait found, so that the wake-ups made so far end this wait
      // and no later one.
      sockets::ClearWakeEvent(_wake_event);
      woken = true;
    }
    bool muted = false;
    if (rc > 0) {
      // Count as select does: one per descriptor and set it is ready for. A descriptor that is
      // no open file fails the whole wait, as it would fail select.
      rc = 0;
      for (std::size_t i = 0; i < _poll_fds.size(); ++i) {
        pollfd& entry = _poll_fds[i];
        if ((entry.revents & POLLNVAL) != 0) {
          rc = -1;
          errno = EBADF;
          break;
        }
        if (i >= watched) continue;
        if (entry.events == POLLPRI && (entry.revents & (POLLERR | POLLHUP)) != 0) {
          // poll reports errors and hang-ups whether asked or not. On a descriptor watched for
          // exceptions alone (a stream socket after a failed connect) they would end every wait
          // at once. A pending error counts once, as the exceptional condition select reports
          // for a failed connect; a hang-up alone is the state of a closed connection, not an
          // event. Either way the descriptor stays out of the waits until its interest is set
          // again.
          if ((entry.revents & POLLERR) != 0) entry.revents = static_cast<short>(POLLPRI);
          _muted.Insert(entry.fd);
          muted = true;
        }
        rc += std::popcount(static_cast<unsigned>(Readiness(entry)));
      }
    }
    if (rc == 0 && muted && !woken) {
      // Only muted descriptors ended the wait: wait again for the rest of the time.
      if (!bounded) continue;
      const auto rest =
          std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
      if (rest.count() > 0) {
        limit.tv_sec = static_cast<time_t>(rest.count() / 1000000000L);
        limit.tv_nsec = static_cast<long>(rest.count() % 1000000000L);
        continue;
      }
    }
    if (rc == -1) {
      const int code = sockets::LastError();
      ReportError(nullptr, "select", code, SocketErrorText(code), Warning);
    }
    return rc;
  }
}

std::size_t SocketHandler::BuildPollSet() {
  // poll, unlike select, takes any descriptor number; the interest sets keep select's rules.
  _poll_fds.clear();
  const DescriptorSet* sets[] = {&_read_set, &_write_set, &_except_set};
  const short events[] = {POLLIN, POLLOUT, POLLPRI};
  for (int s = 0; s < 3; ++s) {
    for (std::size_t i = 0; i < sets[s]->Size(); ++i) {
      const int d = sets[s]->At(i);
      if (_muted.Contains(d)) continue;
      auto it = std::find_if(_poll_fds.begin(), _poll_fds.end(),
                             [d](const pollfd& entry) { return entry.fd == d; });
      if (it == _poll_fds.end()) it = _poll_fds.insert(_poll_fds.end(), pollfd{d, 0, 0});
      it->events = static_cast<short>(it->events | events[s]);
    }
  }
  // The wake event goes last and is no socket: it is left out of the count and the dispatch.
  const std::size_t watched = _poll_fds.size();
  if (_wake_event != -1) _poll_fds.push_back(pollfd{_wake_event, POLLIN, 0});
  return watched;
}

int SocketHandler::Readiness(const pollfd& entry) {
  int ready = 0;
  if ((entry.events & POLLIN) != 0 && (entry.revents & kReadable) != 0) ready |= kReadReady;
  if ((entry.events & POLLOUT) != 0 && (entry.revents & kWritable) != 0) ready |= kWriteReady;
  if ((entry.events & POLLPRI) != 0 && (entry.revents & kExceptional) != 0) ready |= kExceptReady;
  return ready;
}

int SocketHandler::ReadyFor(int descriptor) const {
  // The result of the last wait, as select leaves it in its copies of the sets: what a callback
  // changes in the interest sets during the dispatch does not change it.
  for (const pollfd& entry : _poll_fds) {
    if (entry.fd == descriptor) return Readiness(entry);
  }
  return 0;
}

int SocketHandler::Dispatch(int n) {
  // Callbacks may delete sockets, whose descriptors then leave _order: walk a copy.
  _walk.assign(_order.begin(), _order.end());
  for (const int d : _walk) {
    if (n == 0) break;
    const int ready = ReadyFor(d);
    if ((ready & kReadReady) != 0) {
      Socket* p = FindSocket(d);
      --n;
      if (p == nullptr) continue;
      p->OnRead();
      // A stream socket connecting through the SOCKS4 server takes its reply from what it
      // received. OnRead may have deleted the socket: look it up again.
      if (p == FindSocket(d) && p->ViaProxy()) {
        if (auto* stream = dynamic_cast<TcpSocket*>(p)) {
          bool complete = false;
          // A complete reply may have called OnConnect, which may have deleted the socket.
          while (!complete && stream->InputPending() > 0 && !stream->CloseAndDeletePending()) {
            complete = stream->OnSocks4Read();
          }
        }
      }
    }
    if ((ready & kWriteReady) != 0) {
      Socket* p = FindSocket(d);
      --n;
      if (p == nullptr) continue;
      if (p->IsConnecting()) {
        if (p->ConnectOutcome()) {
          p->SetCallOnConnect(true);
        } else if (p->ViaProxy()) {
          p->OnSocks4ConnectFailed();
        } else if (dynamic_cast<TcpSocket*>(p) == nullptr || !RetriesLeft(*p)) {
          p->SetCloseAndDelete(true);
          p->OnConnectFailure();
        }
        // A stream socket with retries left waits for its connect time-out, which retries.
      } else {
        p->OnWritable();
      }
    }
    if ((ready & kExceptReady) != 0) {
      Socket* p = FindSocket(d);
      --n;
      if (p != nullptr) p->OnExceptCondition();
    }
  }
  return n;
}

void SocketHandler::RunConnectCallbacks() {
  const std::vector<int> copy = _call_on_connect_list;
  for (const int d : copy) {
    Socket* p = FindSocket(d);
    if (p == nullptr || !p->CallOnConnect() || !p->IsUsable()) continue;
    auto* stream = dynamic_cast<TcpSocket*>(p);
    if (p->ViaProxy()) {
      p->OnSocks4Connect();
    } else if (stream != nullptr) {
      stream->MarkConnected(true);
      if (stream->OutputPending() > 0) stream->OnWritable();
      if (stream->IsReconnecting()) {
        stream->SetReconnecting(false);
        stream->OnReconnected();
      } else {
        ReportError(p, "Calling OnConnect", 0, "Because CallOnConnect", Info);
        p->OnConnect();
      }
    } else {
      ReportError(p, "Calling OnConnect", 0, "Because CallOnConnect", Info);
      p->OnConnect();
    }
    // The callbacks may have deleted the socket.
    if (FindSocket(d) == p) p->SetCallOnConnect(false);
  }
}

void SocketHandler::RunDetaching() {
  // Walks the detach list itself: nothing here takes an entry out of it (the unregistering
  // step does). The handler forgets the socket completely before it starts the thread, which
  // may serve the socket, and even delete it, at once.
  for (std::size_t i = 0; i < _thread_list.size(); ++i) {
    const int d = _thread_list[i];
    Socket* p = FindSocket(d);
    if (p == nullptr || !p->ThreadWanted()) continue;
    SetInterest(d, /*read=*/false, /*write=*/false, /*except=*/false);
    EraseFirst(_call_on_connect_list, d);
    EraseFirst(_connecting_list, d);
    EraseFirst(_retry_list, d);
    EraseFirst(_close_list, d);
    Forget(p);
    _to_unregister.push_back(d);
    p->StartSocketThread();
  }
}

void SocketHandler::RunConnectTimeouts() {
  const std::vector<int> copy = _connecting_list;
  for (const int d : copy) {
    Socket* p = FindSocket(d);
    if (p == nullptr || !p->IsConnecting()) continue;
    if (p->SecondsConnecting() < static_cast<std::int64_t>(p->ConnectTimeoutSeconds())) continue;
    ReportError(p, "connect", -1, "connect timeout", Fatal);
    if (p->ViaProxy()) {
      p->OnSocks4ConnectFailed();
    } else if (dynamic_cast<TcpSocket*>(p) != nullptr && RetriesLeft(*p)) {
      p->SetRetriesMade(p->RetriesMade() + 1);
      if (p->MayRetryConnect()) {
        p->SetRetryClientConnect(true);
      } else {
        p->SetCloseAndDelete(true);
        p->OnConnectFailure();
      }
    } else {
      p->SetCloseAndDelete(true);
      p->OnConnectFailure();
    }
    if (FindSocket(d) == p) p->SetConnecting(false);
  }
}

void SocketHandler::RunConnectRetries() {
  // Only stream sockets reconnect; a retry that another socket asked for is dropped, so its
  // entry does not stay listed for ever.
  const std::vector<int> copy = _retry_list;
  for (const int d : copy) {
    Socket* p = FindSocket(d);
    if (p == nullptr || !p->RetryConnectPending()) continue;
    p->SetRetryClientConnect(false);
    auto* stream = dynamic_cast<TcpSocket*>(p);
    if (stream == nullptr) continue;
    stream->Close();
    stream->Open(stream->TargetIp(), stream->TargetPort(), /*skip_socks=*/false);
    Add(stream);
    _to_unregister.push_back(d);
  }
}

void SocketHandler::RunClosing() {
  const std::vector<int> copy = _close_list;
  for (const int d : copy) {
    Socket* p = FindSocket(d);
    if (p == nullptr || !p->CloseAndDeletePending()) continue;
    bool pooled = false;
    if (auto* stream = dynamic_cast<TcpSocket*>(p)) {
      const bool connected = stream->IsPeerConnected();
      // Waiting is worth it only while the connection can still take output: not once it is
      // lost, and not for a connection that stays open in the pool.
      if (connected && !stream->ConnectionLost() && !stream->KeepForPool() &&
          stream->SecondsClosing() < kGracefulCloseSeconds) {
        if (stream->OutputPending() > 0) {
          ReportError(p, "Closing", static_cast<std::int32_t>(stream->OutputPending()),
                      "Sending all data before closing", Info);
        } else if ((stream->ShutdownDone() & 1) == 0) {
          if (sockets::ShutdownSend(d) == -1) {
            const int code = sockets::LastError();
            ReportError(p, "graceful shutdown", code, SocketErrorText(code), Error);
          }
          stream->SetShutdownDone(1);
        }
        continue;
      }
      if (connected && stream->WantsReconnect()) {
        stream->SetCloseAndDelete(false);
        stream->SetReconnecting(true);
        stream->MarkConnected(false);
        stream->Close();
        stream->OnConnectionLost();
        stream->Open(stream->TargetIp(), stream->TargetPort(), /*skip_socks=*/false);
        stream->SetRetriesMade(0);
        Add(stream);
        _to_unregister.push_back(d);
        continue;
      }
      if (connected && stream->OutputPending() > 0) {
        ReportError(p, "Closing", static_cast<std::int32_t>(stream->OutputPending()),
                    "Closing socket while data still left to send", Warning);
      }
      if (stream->KeepForPool() && connected && !stream->ConnectionLost()) {
        auto* pool = new PoolSocket(*this, *stream);
        pool->SetHandlerDeletes(true);
        Add(pool);
        // The descriptor belongs to the pool socket now; the stream socket lets go of it, so
        // that neither its destructor nor a later Open of the same object touches it.
        stream->SetCloseAndDelete(false);
        stream->AttachDescriptor(-1);
        stream->MarkConnected(false);
        stream->SetKeepForPool(false);
        pooled = true;
      }
    }
    if (!pooled) {
      SetInterest(p->GetDescriptor(), /*read=*/false, /*write=*/false, /*except=*/false);
      p->Close();
    }
    // Read before OnReleased: an owner may delete its own socket there.
    const bool handler_deletes = p->HandlerDeletes();
    p->OnReleased();
    if (handler_deletes) p->SetUnregistered(true);
    _to_unregister.push_back(d);
  }
}

void SocketHandler::Unregister() {
  while (!_to_unregister.empty()) {
    const int d = _to_unregister.front();
    EraseFirst(_thread_list, d);
    EraseFirst(_order, d);
    const auto entry = _registry.find(d);
    if (entry != _registry.end()) {
      Socket* p = entry->second;
      _registry.erase(entry);
      if (p != nullptr && p->IsUnregistered()) {
        delete p;
      } else if (p != nullptr && p->GetDescriptor() == -1) {
        HandBack(p);
      }
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
    p->OnReleased();
    if (handler_deletes) {
      // A socket added again after it was registered (say, closed by its owner and marked)
      // may still stand in the registry or the add queue: no pointer to it may stay behind.
      Forget(p);
      p->SetUnregistered(true);
      delete p;
    } else {
      HandBack(p);
    }
  }
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
  return where;
}

void SocketHandler::RecomputeHighest() {
  _highest = 0;
  for (const int d : _order) {
    if (static_cast<unsigned>(d) > static_cast<unsigned>(_highest)) _highest = d;
  }
}

void SocketHandler::HandBack(Socket* p) const {
  if (_thread_private && p->HasOwnThread() && &p->ServingHandler() == this) {
    p->SetOwnThread(false);
    p->SetThreadHandler(nullptr);
  }
}

void SocketHandler::Remove(Socket* p) {
  if (p->IsUnregistered()) return;
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

void SocketHandler::SetSocks4Server(std::uint32_t host, std::uint16_t port,
                                    const std::string& user) {
  _proxy_host = host;
  _proxy_port = port;
  _proxy_user = user;
}

void SocketHandler::QueueForDeletion(Socket* p) {
  if (std::find(_delete_queue.begin(), _delete_queue.end(), p) == _delete_queue.end()) {
    _delete_queue.push_back(p);
  }
}

void SocketHandler::SetInterest(int descriptor, bool read, bool write, bool except) {
  _muted.Erase(descriptor);
  DescriptorSet* sets[] = {&_read_set, &_write_set, &_except_set};
  const bool wanted[] = {read, write, except};
  for (int s = 0; s < 3; ++s) {
    if (wanted[s]) {
      sets[s]->Insert(descriptor);
    } else {
      sets[s]->Erase(descriptor);
    }
  }
}

bool SocketHandler::ReadInterest(int descriptor) const { return _read_set.Contains(descriptor); }
bool SocketHandler::WriteInterest(int descriptor) const { return _write_set.Contains(descriptor); }
bool SocketHandler::ExceptInterest(int descriptor) const {
  return _except_set.Contains(descriptor);
}

Socket* SocketHandler::FindSocket(int descriptor) const {
  const auto it = _registry.find(descriptor);
  return it == _registry.end() ? nullptr : it->second;
}

std::uint32_t SocketHandler::SocketCount() const {
  return static_cast<std::uint32_t>(_registry.size() + _add_queue.size() + _delete_queue.size());
}

void SocketHandler::ReportError(Socket* p, const std::string& call, std::int32_t code,
                                const std::string& text, ReportLevel level) {
  if (_sink != nullptr) _sink->Report(*this, p, call, code, text, level);
}

}  // namespace fp
