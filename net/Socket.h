#pragma once

#include "net/SocketLog.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace fp {

class SocketHandler;
class SocketThread;

// Base of every socket of the layer. A Socket owns at most one descriptor (-1 = none) and closes
// it in Close() and in its destructor; it belongs to one SocketHandler for its whole life and
// asks that handler for deferred work through flags (close and delete, connecting, call the
// connect callback, retry the connect). Every flag setter keeps the descriptor in the matching
// work list of the handler, so a pass of the handler visits only the sockets that need it.
//
// Nothing here throws: failures go to the handler's ReportError and show in a return value or a
// flag. No locks: the callbacks run on the thread that runs the handler's Select, the owner's
// calls on the owner's thread, and the owner keeps the two apart.
//
// Ownership. The owner creates a socket and adds it to its handler. The handler deletes it only
// when HandlerDeletes() is set, once it lets go of it; otherwise the owner deletes it, before or
// after the handler. A socket deleted while registered leaves the handler at once. A handler
// that goes first closes every socket it still knows (registered, queued, closed and let go of,
// handed back by a thread) and tells it so, and its destructor no longer reaches the handler.
//
// A callback may end its own socket in three ways: SetCloseAndDelete(true) (the handler closes
// it after the callbacks of the pass, and deletes it when HandlerDeletes()), Close(), or
// deleting it where its owner could. After Close or the delete, the call that ran the callback
// touches the socket no more: a receive loop stops there. A callback never deletes its handler.
//
// A detached socket (SetThreadWanted) is served by a thread of its own until that thread ends.
class Socket {
 public:
  explicit Socket(SocketHandler& handler);
  virtual ~Socket();

  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Closes the descriptor: non-blocking, shuts down sending when connected, reads once to
  // discard up to 100 waiting bytes (one waiting datagram), releases the descriptor and takes it
  // out of the handler's interest sets and work lists. Flags and the registry entry stay; the
  // handler erases the entry. Returns 0, or -1 when the release failed (the descriptor is
  // forgotten all the same). Idempotent: without a descriptor it only reports a Warning.
  // Called by the owner of a detached socket, it ends the socket's thread first (EndOwnThread).
  virtual std::int32_t Close();

  // Called by the handler's pass, on the thread running Select.
  virtual void OnRead();
  virtual void OnWritable();
  // Base: a connecting socket treats it as a failed connect; otherwise reports the pending error
  // as "exception on select" (Fatal) and marks the socket for closing.
  virtual void OnExceptCondition();
  // Last call before the handler lets go of the socket (after closing it).
  virtual void OnReleased();
  virtual void OnConnect();
  virtual void OnConnectFailure();
  // Right after CreateDescriptor made a descriptor; base: want SO_REUSEADDR and SO_KEEPALIVE.
  virtual void OnDescriptorCreated(std::int32_t family, std::int32_t type, std::int32_t protocol,
                                   int descriptor);
  // SOCKS4 hooks of stream sockets; the base only reports a Warning (OnSocks4Read: true).
  virtual void OnSocks4Connect();
  virtual void OnSocks4ConnectFailed();
  virtual bool OnSocks4Read();
  virtual bool MayRetryConnect();
  virtual void OnReconnected();
  virtual void OnConnectionLost();
  // A connecting descriptor became writable: true when the connect succeeded (interest becomes
  // read + exception, connecting ends), false when it failed (reported "connect failed", Fatal;
  // only exceptions stay watched, connecting stays set).
  virtual bool ConnectOutcome();
  virtual void OnThreadStarted();

  // Steps of the handler's pass that a stream socket takes its own way; the base behaviour is
  // that of every other socket. None is called for a connect through the SOCKS4 server, which
  // has hooks of its own.
  //
  // Bytes waiting to be sent: registration watches for writability while there are any.
  virtual std::size_t OutputPending() const;
  // After OnRead of a socket waiting for the SOCKS4 server's reply (ViaProxy): takes the reply
  // from what was received. Base: nothing.
  virtual void TakeSocks4Reply();
  // The connect callback is due. Base: reports "Calling OnConnect" (Info), then OnConnect.
  virtual void OnConnectEstablished();
  // ConnectOutcome found the connect failed. Base: FailConnect.
  virtual void OnConnectError();
  // The connect took ConnectTimeoutSeconds or longer (reported by the handler). Base:
  // FailConnect. The handler ends the connecting state afterwards.
  virtual void OnConnectTimeout();
  // The retry the socket asked for is due (its flag is already cleared). True when the socket
  // was opened again under a new descriptor, which the handler then registers in place of the
  // old one. Base: false, the request is dropped.
  virtual bool RetryConnect();
  // What the closing step does with a socket marked close-and-delete.
  enum class Closing {
    kWait,    // not yet: look again next pass; the socket stays marked and registered
    kReopen,  // opened again under a new descriptor, as RetryConnect
    kPooled,  // the descriptor went to the handler's pool: let go of the socket, do not close
    kClose,   // close the descriptor and let go of the socket
  };
  // Base: kClose.
  virtual Closing OnCloseDue();
  // The bound local port; the base has none (reports a Warning, returns 0).
  virtual std::uint16_t GetPort();
  // Sending; the base sends nothing.
  virtual void SendBuf(const void* bytes, std::size_t length, std::int32_t flags);
  virtual void SendText(const std::string& text, std::int32_t flags);

  int GetDescriptor() const { return _descriptor; }
  // Stores the descriptor and takes ownership of it; nothing else.
  void AttachDescriptor(int descriptor) { _descriptor = descriptor; }

  // The private handler of the socket's own thread while it has one, otherwise its handler.
  // Every report, work-list change and interest change goes there.
  SocketHandler& ServingHandler() const;

  void SetHandlerDeletes(bool x) { _handler_deletes = x; }
  bool HandlerDeletes() const { return _handler_deletes; }

  // The four work-list flags. Setting a flag lists the descriptor once, at the end of its list;
  // clearing it removes it. Without a descriptor only the flag (and its time) changes.
  // SetCloseAndDelete and SetConnecting do nothing when the value does not change, so the first
  // time stamp stays.
  void SetCloseAndDelete(bool x);
  bool CloseAndDeletePending() const { return _close_and_delete; }
  void SetConnecting(bool x);
  bool IsConnecting() const { return _connecting; }
  void SetCallOnConnect(bool x);
  bool CallOnConnect() const { return _call_on_connect; }
  void SetRetryClientConnect(bool x);
  bool RetryConnectPending() const { return _retry_client_connect; }

  // Marks the socket for closing and tells it that its connect failed for good.
  void FailConnect();

  void MarkConnected(bool x) { _connected = x; }
  bool IsPeerConnected() const { return _connected; }
  // Set by a handler that has let go of the socket for good (to delete it, or while being
  // destroyed itself); the destructor then leaves the handler alone.
  void SetReleasedByHandler(bool x) { _unregistered = x; }
  bool ReleasedByHandler() const { return _unregistered; }

  // Has a descriptor, is not connecting and is not marked for closing.
  bool IsUsable() const;
  // Whole seconds since the connect began and since the socket was marked for closing, on a
  // steady clock: a step of the calendar clock neither stretches nor cuts a limit.
  std::int64_t SecondsConnecting() const;
  std::int64_t SecondsClosing() const;
  std::int32_t ConnectTimeoutSeconds() const { return _connect_limit; }
  // Seconds a connect may take before the handler gives up on it or retries it (5 by default).
  void SetConnectTimeout(std::int32_t seconds) { _connect_limit = seconds; }

  // The handler the socket was made for; never changes.
  SocketHandler& Handler() const { return _handler; }

  // Set by the thread that serves the socket, on that thread: from then on its private handler
  // is the socket's serving handler.
  void SetOwnThread(bool x) { _on_own_thread = x; }
  bool HasOwnThread() const { return _on_own_thread; }
  void SetThreadHandler(SocketHandler* handler) { _thread_handler = handler; }
  // Asks the handler to hand the socket to a thread of its own in its next pass (true), or not
  // (false); lists the descriptor in, or takes it out of, the handler's detach list like the
  // work-list flags. The hand-over clears it.
  //
  // From the hand-over on, the socket's callbacks run on that thread, which the handler owns,
  // and the socket's owner leaves it alone but for Close and its destruction, which both end and
  // join the thread first, on the thread that runs the handler. A socket with HandlerDeletes()
  // is deleted by the thread's handler when it is closed. One without it that the thread's
  // handler closes, or that is still served when the handler ends the thread (at the latest when
  // the handler is destroyed), goes back to its handler closed, as a socket the handler let go
  // of, once the thread is joined.
  void SetThreadWanted(bool x);
  bool ThreadWanted() const { return _thread_wanted; }
  // Creates the SocketThread that serves this socket from now on and releases it; the caller
  // owns the thread. Called by the handler's detach step.
  std::unique_ptr<SocketThread> StartSocketThread();
  // The thread serving the socket (not owned), recorded by that thread's constructor and
  // cleared when the socket goes back to its handler; null when none.
  void SetServingThread(SocketThread* thread) { _serving_thread = thread; }
  // Ends the thread of its own that serves the socket, if there is one and the caller is not
  // that thread, and waits for it; the socket is then its handler's again, as that thread left
  // it (the thread's end neither closes nor deletes it). The caller must be the thread that runs
  // the handler. Close and the destructors of the layer's sockets call it first; a class derived
  // from a socket that may be detached calls it first in its own destructor too, so that nothing of
  // the object goes while the thread may still run its callbacks.
  void EndOwnThread();

  // A new descriptor, returned and not attached; -1 (reported Fatal, socket marked for closing)
  // when the protocol is unknown, the system gives none, or a stream option cannot be set. An
  // empty protocol name means protocol 0. Only stream descriptors get SO_REUSEADDR and
  // SO_KEEPALIVE.
  int CreateDescriptor(std::int32_t family, std::int32_t type, const std::string& protocol);
  // False (reported as a Warning) when the mode cannot be switched.
  bool SetNonBlockingMode(bool on);
  bool SetNonBlockingMode(bool on, int descriptor);

  // Takes over the other socket's descriptor, type, protocol and connection target; the other
  // socket keeps its copy of the descriptor, so one of the two must not close it.
  void TakeOverConnection(const Socket& other);

  // Stream-connection state, kept by TcpSocket and the handler's stream steps.
  bool IsOutgoing() const { return _outgoing; }
  // Only an outgoing connection can be kept for the pool: on closing, when the handler pools,
  // its connection then stays open for the next Open to the same address and port.
  void SetKeepForPool(bool x);
  bool KeepForPool() const { return _keep_for_pool; }
  bool ViaProxy() const { return _via_proxy; }
  std::uint32_t TargetIp() const { return _target_ip; }
  std::uint16_t TargetPort() const { return _target_port; }
  // Connect retries after a connect time-out: 0 none (the default), -1 without limit, n > 0 at
  // most n per connection.
  void SetRetriesAllowed(std::int32_t x) { _retries_allowed = x; }
  std::int32_t RetriesAllowed() const { return _retries_allowed; }
  void SetRetriesMade(std::int32_t x) { _retries_made = x; }
  std::int32_t RetriesMade() const { return _retries_made; }
  // A failed connect may still be retried: without limit, or fewer retries made than allowed.
  bool RetriesLeft() const;
  // Bit 0: the graceful close has shut down the sending direction.
  void SetShutdownDone(std::int32_t x) { _shutdown_done = x; }
  std::int32_t ShutdownDone() const { return _shutdown_done; }
  // The SOCKS4 server this socket connects through (copied from the handler at construction);
  // 0 when none.
  std::uint32_t Socks4Host() const { return _proxy_host; }
  std::uint16_t Socks4Port() const { return _proxy_port; }
  std::int32_t SocketType() const { return _type; }
  const std::string& ProtocolName() const { return _protocol; }

 protected:
  // Tells a loop of callbacks whether one of them deleted the socket, so that the loop touches
  // it no more. Lives on the loop's stack for the loop's length.
  class DeleteWatch {
   public:
    explicit DeleteWatch(Socket& socket) : _socket(&socket), _outer(socket._delete_watch) {
      socket._delete_watch = this;
    }
    ~DeleteWatch() {
      if (_socket != nullptr) _socket->_delete_watch = _outer;
    }
    DeleteWatch(const DeleteWatch&) = delete;
    DeleteWatch& operator=(const DeleteWatch&) = delete;

    bool SocketDeleted() const { return _socket == nullptr; }

   private:
    friend class Socket;
    Socket* _socket;  // null once the socket is deleted
    DeleteWatch* _outer;
  };

  void SetOutgoing(bool x) { _outgoing = x; }
  void SetViaProxy(bool x) { _via_proxy = x; }
  void SetTarget(std::uint32_t ip, std::uint16_t port) {
    _target_ip = ip;
    _target_port = port;
  }
  // Connects without the SOCKS4 server from now on, or again through the one the socket was
  // made with.
  void ForgetSocks4Server() {
    _proxy_host = 0;
    _proxy_port = 0;
  }
  void RestoreSocks4Server();
  // Lists the socket as connecting again after SetConnecting(false), under the limit that began
  // with the connect: the SOCKS4 handshake is still part of it.
  void ResumeConnecting();

 private:
  SocketHandler& _handler;
  int _descriptor = -1;
  bool _handler_deletes = false;
  bool _close_and_delete = false;
  bool _connecting = false;
  std::chrono::steady_clock::time_point _connect_time;
  bool _thread_wanted = false;
  bool _on_own_thread = false;
  SocketThread* _serving_thread = nullptr;  // not owned
  std::int32_t _type = 0;
  std::string _protocol;
  bool _call_on_connect = false;
  bool _want_reuseaddr = true;
  bool _want_keepalive = true;
  std::int32_t _connect_limit = 5;
  bool _retry_client_connect = false;
  bool _connected = false;
  bool _unregistered = false;
  SocketHandler* _thread_handler = nullptr;  // not owned
  std::chrono::steady_clock::time_point _close_time;
  // The innermost watch of a loop of callbacks now running, or null.
  DeleteWatch* _delete_watch = nullptr;

  // Stream connections.
  bool _outgoing = false;
  std::uint32_t _target_ip = 0;
  std::uint16_t _target_port = 0;
  bool _keep_for_pool = false;
  bool _via_proxy = false;
  std::uint32_t _proxy_host;
  std::uint16_t _proxy_port;
  std::int32_t _retries_allowed = 0;
  std::int32_t _retries_made = 0;
  std::int32_t _shutdown_done = 0;
};

}  // namespace fp
