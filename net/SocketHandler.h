#pragma once

#include "net/Poller.h"
#include "net/SocketLog.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct timeval;

namespace fp {

class Socket;
class SocketThread;

// The socket layer's event loop. It keeps a registry of sockets keyed by descriptor, waits for
// their descriptors (through its Poller) once per pass, calls the sockets' callbacks, and then
// does the deferred work the sockets' flags ask for: connect callbacks, handing sockets to
// threads of their own, connect time-outs and retries, closing, unregistering and deleting. How
// a stream socket connects, retries, reconnects, closes gracefully or goes to the pool is the
// socket's own business, reached through its virtual steps; the loop knows no stream type. It
// runs only when its owner calls Select.
//
// The handler owns no socket unless the socket's HandlerDeletes() is set; it owns the threads
// it starts for detached sockets. It remembers the sockets it closed and let go of without
// deleting them, and those its threads hand back, until they are deleted, so that it can tell
// them when it goes first. No locks: a handler and its sockets are used by one thread at a time;
// callbacks run on the thread calling Select. Wake alone may be called from any other thread, to
// end a wait early.
class SocketHandler {
 public:
  // Most sockets a handler registers, and most descriptors an interest set holds.
  static constexpr std::size_t kSetSize = Poller::kSetSize;

  // The work lists, which the Socket flag setters keep: one per flag.
  enum class Work : std::size_t { kCallOnConnect, kDetach, kConnecting, kRetry, kClose, kCount };

  // `log` may be null: reports are then dropped. Not owned; it must outlive the handler.
  // Creates the wake event; when that fails the handler reports it (Warning) and works without
  // wake-ups.
  explicit SocketHandler(SocketLog* log = nullptr);
  // Ends and joins the threads it started for detached sockets, which hands their sockets back.
  // Then closes every socket it still knows, registered, queued, refused or let go of, and
  // deletes those with HandlerDeletes(); the others stay with their owners, closed, and no
  // longer refer to the handler. OnReleased is not called.
  virtual ~SocketHandler();

  SocketHandler(const SocketHandler&) = delete;
  SocketHandler& operator=(const SocketHandler&) = delete;

  // Queues the socket; it is registered and watched from the next Select on. A socket without a
  // descriptor is reported and not queued. Add each socket once.
  void Add(Socket* p);

  // One pass: register queued sockets, wait at most `timeout` (null: no limit) for the watched
  // descriptors, dispatch in registration order, then the deferred work. Returns -1 when the
  // wait failed, 0 on a time-out or a wake-up, else the ready indications that found no socket.
  // A callback that calls Select of its own handler is refused: reported ("Select", -1, Warning)
  // and -1 returned, and the pass in progress goes on undisturbed.
  //
  // A `gather` time, taken out of the timeout, is let pass before the descriptors are looked at
  // (a Wake ends it at once), so that datagrams pouring in at a steady rate are taken in batches
  // rather than a pass each few; see Poller::Wait.
  int Select(long seconds, long microseconds,
             std::chrono::microseconds gather = std::chrono::microseconds::zero());
  int Select(struct timeval* timeout,
             std::chrono::microseconds gather = std::chrono::microseconds::zero());

  // Ends the wait of the pass in progress, or, when no pass is waiting, the wait of the next
  // pass, which then returns at once. Such a pass still dispatches what is ready and does its
  // deferred work, and returns 0 when nothing else ended it. Wake-ups made before one wait ends
  // are used up by it together: each ends one wait at most. One made just after a wait ended,
  // before the pass has cleared the wake event, may end no wait at all. Does nothing when the
  // handler has no wake event, and reports nothing.
  // Safe to call from any thread, the only member that is; the handler must outlive the call.
  void Wake() { _poller.Wake(); }

  // Called by the Socket destructor: takes the socket out of the registry, the add queue or the
  // deletion list at once (reported as a Warning), and forgets it as one it let go of. Nothing
  // when the handler already let go for good.
  void Remove(Socket* p);

  // A socket that a thread of this handler served comes back once that thread is joined: it is
  // the handler's again, as a socket it let go of, closed or as its owner is about to end it.
  // Called on the thread that runs this handler.
  void TakeBack(Socket* p);
  // Forgets a socket without closing, deleting or calling it: a thread's private handler lets go
  // of its socket so when the socket's owner takes it back.
  void LetGoUntouched(Socket* p);

  // Watches (true) or stops watching (false) the descriptor for each kind of readiness. Costs no
  // system call; it takes effect in the next wait.
  void SetInterest(int descriptor, bool read, bool write, bool except) {
    _poller.SetInterest(descriptor, read, write, except);
  }
  bool ReadInterest(int descriptor) const { return _poller.ReadInterest(descriptor); }
  bool WriteInterest(int descriptor) const { return _poller.WriteInterest(descriptor); }
  bool ExceptInterest(int descriptor) const { return _poller.ExceptInterest(descriptor); }

  // The registered socket with that descriptor, or null.
  Socket* FindSocket(int descriptor) const;
  // Registered + queued + waiting for deletion.
  std::uint32_t SocketCount() const {
    return static_cast<std::uint32_t>(_registry.size() + _add_queue.size() + _delete_queue.size());
  }

  // Passes the report to the log, if there is one.
  void ReportError(Socket* p, const std::string& call, std::int32_t code, const std::string& text,
                   ReportLevel level);

  // A thread's private handler never detaches its sockets, and neither keeps nor tells the
  // socket it serves for another handler when it lets go of it: the thread hands it back.
  void MarkThreadPrivate(bool x) { _thread_private = x; }

  // The work lists, kept by the Socket flag setters and Close; each holds a descriptor once.
  std::vector<int>& WorkList(Work w) { return _work[static_cast<std::size_t>(w)]; }
  std::vector<int>& CallOnConnectList() { return WorkList(Work::kCallOnConnect); }
  std::vector<int>& DetachList() { return WorkList(Work::kDetach); }
  std::vector<int>& ConnectingList() { return WorkList(Work::kConnecting); }
  std::vector<int>& RetryList() { return WorkList(Work::kRetry); }
  std::vector<int>& CloseList() { return WorkList(Work::kClose); }
  // Takes the descriptor out of every work list.
  void Unlist(int descriptor);
  // Removes the first entry equal to `descriptor` from a descriptor list, if there is one.
  static void EraseFirst(std::vector<int>& list, int descriptor);

  // Stream-socket settings. The SOCKS4 server (address in network order, port in host order,
  // user id sent with each request) is copied by a TcpSocket at its construction and by each
  // Open its owner makes, so set it before those; host or port 0 means none.
  void SetSocks4Server(std::uint32_t host, std::uint16_t port, const std::string& user = {}) {
    _proxy_host = host;
    _proxy_port = port;
    _proxy_user = user;
  }
  std::uint32_t ProxyHost() const { return _proxy_host; }
  std::uint16_t ProxyPort() const { return _proxy_port; }
  const std::string& ProxyUser() const { return _proxy_user; }
  // Connect straight to the target when connecting through the SOCKS4 server fails.
  void SetSocks4Fallback(bool x) { _proxy_fallback = x; }
  bool ProxyFallback() const { return _proxy_fallback; }
  // Keep closed outgoing connections marked with SetKeepForPool for reuse, and let Open look
  // for one before connecting. Without it, a connection marked so is closed like any other.
  void SetPooling(bool x) { _pooling = x; }
  bool Pooling() const { return _pooling; }

  // The first pooled connection of that type, protocol, address and port, taken out of the
  // handler (it is no longer watched), or null. The caller takes its descriptor over and deletes
  // it; deleting it leaves the descriptor open.
  Socket* TakePooledConnection(std::int32_t type, const std::string& protocol,
                               std::uint32_t address, std::uint16_t port);

 private:
  void RegisterQueued();
  // Lists the descriptor in the work list of each flag the socket has set, unless it is there.
  void ListPendingWork(Socket* p, int descriptor);
  int Dispatch(int n);
  void RunConnectCallbacks();
  void RunConnectTimeouts();
  void RunConnectRetries();
  void RunClosing();
  void Unregister();
  void RunDeletions();
  // The registered socket that still has the descriptor `d`, or null: a callback may have closed
  // the socket listed under d, and the system may have given the number to another.
  Socket* SocketAt(int d) const;
  // The socket took a new descriptor (a retry or a reconnect): registered again under it from
  // the next pass, its old entry goes in this one.
  void Reregister(Socket* p, int old_descriptor);
  // Lets go of a socket it does not delete, before OnReleased (in which its owner may delete
  // it): it is remembered as let go of. On a thread's private handler, the socket it serves for
  // another handler leaves the registry instead, and goes back to that handler once the thread
  // is joined.
  void LetGo(Socket* p);
  // This is a thread's private handler and p the socket it serves for another handler.
  bool ServesForAnother(const Socket* p) const;
  // Takes the socket out of the registry, the add queue, the dispatch order and the sockets let
  // go of; returns what Remove reports: -1 (registry), -2 (add queue) or 0 (neither).
  std::int32_t Forget(Socket* p);
  void RecomputeHighest();
  // Appends to the deletion list unless the socket is on it already: deleted once only.
  void QueueForDeletion(Socket* p);

  // Detaching (SocketHandlerThreads.cpp): hands the listed sockets to threads of their own,
  // joins the threads that have ended, and ends and joins all of them.
  void RunDetaching();
  void JoinEndedThreads();
  void EndThreads();

  std::map<int, Socket*> _registry;
  std::map<int, Socket*> _add_queue;
  std::vector<Socket*> _delete_queue;
  // Sockets closed and let go of without being deleted, and sockets handed back by threads: not
  // owned, but they refer to the handler until they are deleted.
  std::vector<Socket*> _let_go;
  SocketLog* _sink;  // not owned
  int _highest = 0;
  Poller _poller;
  bool _thread_private = false;
  // A pass is under way: a callback's Select is refused.
  bool _in_pass = false;
  std::uint32_t _proxy_host = 0;
  std::uint16_t _proxy_port = 0;
  std::string _proxy_user;
  bool _proxy_fallback = false;
  bool _pooling = false;
  std::vector<int> _order;
  std::vector<int> _to_unregister;
  std::array<std::vector<int>, static_cast<std::size_t>(Work::kCount)> _work;
  // The threads serving sockets this handler detached. Owned: joined once ended, and ended and
  // joined at the latest when the handler goes.
  std::vector<std::unique_ptr<SocketThread>> _threads;

  // Scratch of one pass, kept to avoid allocating on every pass.
  std::vector<int> _walk;
};

}  // namespace fp
