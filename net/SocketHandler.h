#pragma once

#include "net/SocketLog.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct pollfd;
struct timeval;

namespace fp {

class Socket;

// The socket layer's event loop. It keeps a registry of sockets keyed by descriptor, waits for
// their descriptors in one system call per pass, calls the sockets' callbacks, and then does the
// deferred work the sockets' flags ask for: connect callbacks, handing sockets to threads of
// their own, connect time-outs and retries, closing (gracefully, by reconnecting or into the
// pool of idle connections for stream sockets), unregistering and deleting. It runs only when
// its owner calls Select.
//
// The handler owns no socket unless the socket's HandlerDeletes() is set. No locks: a handler
// and its sockets are used by one thread at a time; callbacks run on the thread calling Select.
// Wake alone may be called from any other thread, to end a wait early.
class SocketHandler {
 public:
  // Most sockets a handler registers, and most descriptors an interest set holds.
  static constexpr std::size_t kSetSize = 64;

  // `log` may be null: reports are then dropped. Not owned; it must outlive the handler.
  // Creates the wake event; when that fails the handler reports it (Warning) and works without
  // wake-ups.
  explicit SocketHandler(SocketLog* log = nullptr);
  // Closes every socket it still knows, registered, queued or refused, and deletes those with
  // HandlerDeletes(); the others stay with their owners, closed, and no longer refer to the
  // handler. OnReleased is not called.
  virtual ~SocketHandler();

  SocketHandler(const SocketHandler&) = delete;
  SocketHandler& operator=(const SocketHandler&) = delete;

  // Queues the socket; it is registered and watched from the next Select on. A socket without a
  // descriptor is reported and not queued. Add each socket once.
  void Add(Socket* p);

  // One pass: register queued sockets, wait at most `timeout` (null: no limit) for the watched
  // descriptors, dispatch in registration order, then the deferred work. Returns -1 when the
  // wait failed, 0 on a time-out or a wake-up, else the ready indications that found no socket.
  int Select(long seconds, long microseconds);
  int Select(struct timeval* timeout);

  // Ends the wait of the pass in progress, or, when no pass is waiting, the wait of the next
  // pass, which then returns at once. Such a pass still dispatches what is ready and does its
  // deferred work, and returns 0 when nothing else ended it. Wake-ups made before one wait ends
  // are used up by it together: each ends one wait at most. Does nothing when the handler has no
  // wake event, and reports nothing.
  // Safe to call from any thread, the only member that is; the handler must outlive the call.
  void Wake();

  // Called by the Socket destructor: takes the socket out of the registry, the add queue or the
  // deletion list at once (reported as a Warning). Nothing when the handler already let go.
  void Remove(Socket* p);

  // Watches (true) or stops watching (false) the descriptor for each kind of readiness. Costs no
  // system call; it takes effect in the next wait.
  void SetInterest(int descriptor, bool read, bool write, bool except);
  bool ReadInterest(int descriptor) const;
  bool WriteInterest(int descriptor) const;
  bool ExceptInterest(int descriptor) const;

  // The registered socket with that descriptor, or null.
  Socket* FindSocket(int descriptor) const;
  // Registered + queued + waiting for deletion.
  std::uint32_t SocketCount() const;

  // Passes the report to the log, if there is one.
  void ReportError(Socket* p, const std::string& call, std::int32_t code, const std::string& text,
                   ReportLevel level);

  void MarkThreadPrivate(bool x) { _thread_private = x; }

  // The work lists, kept by the Socket flag setters and Close; each holds a descriptor once.
  std::vector<int>& CallOnConnectList() { return _call_on_connect_list; }
  std::vector<int>& DetachList() { return _thread_list; }
  std::vector<int>& ConnectingList() { return _connecting_list; }
  std::vector<int>& RetryList() { return _retry_list; }
  std::vector<int>& CloseList() { return _close_list; }
  // Removes the first entry equal to `descriptor` from a descriptor list, if there is one.
  static void EraseFirst(std::vector<int>& list, int descriptor);

  // Registered descriptors in registration order, and the highest of them (0 when none).
  const std::vector<int>& Order() const { return _order; }
  int Highest() const { return _highest; }

  // Stream-socket settings. The SOCKS4 server (address in network order, port in host order,
  // user id sent with each request) is copied by each TcpSocket at its construction, so set it
  // before creating the sockets that are to use it; host or port 0 means none.
  void SetSocks4Server(std::uint32_t host, std::uint16_t port, const std::string& user = {});
  std::uint32_t ProxyHost() const { return _proxy_host; }
  std::uint16_t ProxyPort() const { return _proxy_port; }
  const std::string& ProxyUser() const { return _proxy_user; }
  // Connect straight to the target when connecting through the SOCKS4 server fails.
  void SetSocks4Fallback(bool x) { _proxy_fallback = x; }
  bool ProxyFallback() const { return _proxy_fallback; }
  // Keep closed outgoing connections marked with SetKeepForPool for reuse, and let Open look
  // for one before connecting.
  void SetPooling(bool x) { _pooling = x; }
  bool Pooling() const { return _pooling; }

  // The first pooled connection of that type, protocol, address and port, taken out of the
  // handler (it is no longer watched), or null. The caller takes its descriptor over and deletes
  // it; deleting it leaves the descriptor open.
  Socket* TakePooledConnection(std::int32_t type, const std::string& protocol,
                               std::uint32_t address, std::uint16_t port);

 private:
  // A descriptor set of at most kSetSize descriptors, without duplicates.
  class DescriptorSet {
   public:
    bool Contains(int descriptor) const;
    void Insert(int descriptor);  // no change when present or full
    void Erase(int descriptor);   // no change when absent
    std::size_t Size() const { return _count; }
    int At(std::size_t i) const { return _descriptors[i]; }

   private:
    std::array<int, kSetSize> _descriptors{};
    std::size_t _count = 0;
  };

  void RegisterQueued();
  // Lists the descriptor in the work list of each flag the socket has set, unless it is there.
  void ListPendingWork(Socket* p, int descriptor);
  void RunDetaching();
  int Wait(struct timeval* timeout);
  // Fills _poll_fds from the interest sets; returns how many entries are sockets.
  std::size_t BuildPollSet();
  int Dispatch(int n);
  void RunConnectCallbacks();
  void RunConnectTimeouts();
  void RunConnectRetries();
  void RunClosing();
  void Unregister();
  void RunDeletions();
  // Takes the socket out of the registry, the add queue and the dispatch order; returns what
  // Remove reports: -1 (registry), -2 (add queue) or 0 (neither).
  std::int32_t Forget(Socket* p);
  void RecomputeHighest();
  // A socket that a thread's private handler lets go of without deleting it goes back to the
  // handler it was made for.
  void HandBack(Socket* p) const;
  // The readiness of a descriptor found by the last wait, as poll events.
  // What the last wait found `descriptor` ready for, among what it was asked to watch.
  int ReadyFor(int descriptor) const;
  static int Readiness(const pollfd& entry);
  // Appends to the deletion list unless the socket is on it already: deleted once only.
  void QueueForDeletion(Socket* p);

  std::map<int, Socket*> _registry;
  std::map<int, Socket*> _add_queue;
  std::vector<Socket*> _delete_queue;
  SocketLog* _sink;  // not owned
  // The eventfd every wait also watches, so that Wake can end it; -1 when none could be made.
  // Owned. Set once at construction, before any thread can call Wake.
  const int _wake_event;
  int _highest = 0;
  DescriptorSet _read_set;
  DescriptorSet _write_set;
  DescriptorSet _except_set;
  // Descriptors watched for exceptions alone on which the wait found an error or hang-up it was
  // not asked about: left out of later waits until their interest is set again.
  DescriptorSet _muted;
  bool _thread_private = false;
  std::uint32_t _proxy_host = 0;
  std::uint16_t _proxy_port = 0;
  std::string _proxy_user;
  bool _proxy_fallback = false;
  bool _pooling = false;
  std::vector<int> _order;
  std::vector<int> _to_unregister;
  std::vector<int> _call_on_connect_list;
  std::vector<int> _thread_list;
  std::vector<int> _connecting_list;
  std::vector<int> _retry_list;
  std::vector<int> _close_list;

  // Scratch of one pass, kept to avoid allocating on every pass.
  std::vector<pollfd> _poll_fds;
  std::vector<int> _walk;
};

}  // namespace fp
