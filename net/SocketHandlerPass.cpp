// The order of a pass: the wait, the dispatch and the work steps that follow it. What a step
// does to a socket beyond the handler's own bookkeeping is the socket's business, reached
// through its virtual steps.

#include "net/Socket.h"
#include "net/SocketError.h"
#include "net/SocketHandler.h"

#include <sys/time.h>
#include <vector>

namespace fp {

int SocketHandler::Select(long seconds, long microseconds, std::chrono::microseconds gather) {
  timeval timeout{};
  timeout.tv_sec = seconds;
  timeout.tv_usec = microseconds;
  return Select(&timeout, gather);
}

int SocketHandler::Select(struct timeval* timeout, std::chrono::microseconds gather) {
  if (_in_pass) {
    // A nested pass would overwrite the walk and the wait's results of the one in progress.
    ReportError(nullptr, "Select", -1, "Select called from a callback of a pass", Warning);
    return -1;
  }
  _in_pass = true;
  RegisterQueued();
  int error = 0;
  int n = _poller.Wait(timeout, error, gather);
  if (n == -1) ReportError(nullptr, "select", error, SocketErrorText(error), Warning);
  if (n > 0) n = Dispatch(n);
  if (!CallOnConnectList().empty()) RunConnectCallbacks();
  if (!_thread_private && !DetachList().empty()) RunDetaching();
  if (!_threads.empty()) JoinEndedThreads();
  if (!ConnectingList().empty()) RunConnectTimeouts();
  if (!RetryList().empty()) RunConnectRetries();
  if (!CloseList().empty()) RunClosing();
  if (!_to_unregister.empty()) Unregister();
  if (!_delete_queue.empty()) RunDeletions();
  _in_pass = false;
  return n;
}

Socket* SocketHandler::SocketAt(int d) const {
  Socket* p = FindSocket(d);
  return p != nullptr && p->GetDescriptor() == d ? p : nullptr;
}

int SocketHandler::Dispatch(int n) {
  // Callbacks may delete sockets, whose descriptors then leave _order: walk a copy.
  _walk.assign(_order.begin(), _order.end());
  for (const int d : _walk) {
    if (n == 0) break;
    const int ready = _poller.ReadyFor(d);
    if ((ready & Poller::kReadReady) != 0) {
      Socket* p = SocketAt(d);
      --n;
      if (p == nullptr) continue;
      p->OnRead();
      // OnRead may have deleted the socket: look it up again.
      if (p == SocketAt(d) && p->ViaProxy()) p->TakeSocks4Reply();
    }
    if ((ready & Poller::kWriteReady) != 0) {
      Socket* p = SocketAt(d);
      --n;
      if (p == nullptr) continue;
      if (!p->IsConnecting()) {
        p->OnWritable();
      } else if (p->ConnectOutcome()) {
        p->SetCallOnConnect(true);
      } else if (p->ViaProxy()) {
        p->OnSocks4ConnectFailed();
      } else {
        p->OnConnectError();
      }
    }
    if ((ready & Poller::kExceptReady) != 0) {
      Socket* p = SocketAt(d);
      --n;
      if (p != nullptr) p->OnExceptCondition();
    }
  }
  return n;
}

void SocketHandler::RunConnectCallbacks() {
  const std::vector<int> copy = CallOnConnectList();
  for (const int d : copy) {
    Socket* p = SocketAt(d);
    if (p == nullptr || !p->CallOnConnect() || !p->IsUsable()) continue;
    if (p->ViaProxy()) {
      p->OnSocks4Connect();
    } else {
      p->OnConnectEstablished();
    }
    // The callbacks may have deleted the socket.
    if (SocketAt(d) == p) p->SetCallOnConnect(false);
  }
}

void SocketHandler::RunConnectTimeouts() {
  const std::vector<int> copy = ConnectingList();
  for (const int d : copy) {
    Socket* p = SocketAt(d);
    if (p == nullptr || !p->IsConnecting()) continue;
    if (p->SecondsConnecting() < static_cast<std::int64_t>(p->ConnectTimeoutSeconds())) continue;
    ReportError(p, "connect", -1, "connect timeout", Fatal);
    if (p->ViaProxy()) {
      p->OnSocks4ConnectFailed();
    } else {
      p->OnConnectTimeout();
    }
    if (SocketAt(d) == p) p->SetConnecting(false);
  }
}

void SocketHandler::RunConnectRetries() {
  const std::vector<int> copy = RetryList();
  for (const int d : copy) {
    Socket* p = SocketAt(d);
    if (p == nullptr || !p->RetryConnectPending()) continue;
    p->SetRetryClientConnect(false);
    if (p->RetryConnect()) Reregister(p, d);
  }
}

void SocketHandler::RunClosing() {
  const std::vector<int> copy = CloseList();
  for (const int d : copy) {
    Socket* p = SocketAt(d);
    if (p == nullptr || !p->CloseAndDeletePending()) continue;
    const Socket::Closing closing = p->OnCloseDue();
    if (closing == Socket::Closing::kWait) continue;
    if (closing == Socket::Closing::kReopen) {
      Reregister(p, d);
      continue;
    }
    if (closing == Socket::Closing::kClose) {
      SetInterest(d, /*read=*/false, /*write=*/false, /*except=*/false);
      p->Close();
    }
    // Read before OnReleased: an owner may delete its own socket there.
    const bool handler_deletes = p->HandlerDeletes();
    if (!handler_deletes) LetGo(p);
    p->OnReleased();
    if (handler_deletes) p->SetReleasedByHandler(true);
    _to_unregister.push_back(d);
  }
}

void SocketHandler::Reregister(Socket* p, int old_descriptor) {
  Add(p);
  _to_unregister.push_back(old_descriptor);
}

}  // namespace fp
