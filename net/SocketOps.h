#pragma once

#include <cstddef>
#include <cstdint>

struct mmsghdr;
struct pollfd;
struct sockaddr;
struct timespec;

namespace fp::sockets {

// The one place where the platform's socket calls and their error numbers meet the socket
// layer. Every code returned here is a Windows Sockets code (net/SocketError.h).

// Maps a platform error number (errno) onto the Windows Sockets code for the same condition.
// A number without a counterpart is returned unchanged, so its report still names it.
int ErrorFromErrno(int err);

// ErrorFromErrno of the calling thread's errno: the code of the last failed socket call.
int LastError();

// Looks up the first IPv4 address of a host name with the system resolver. On success stores
// it (network byte order) in `address` and returns 0; otherwise leaves `address` untouched and
// returns the resolver's error as a Windows Sockets code (11001 and up). Blocks the caller
// until the resolver answers.
int ResolveIPv4(const char* name, std::uint32_t& address);

// Thin wrappers over the system calls the socket layer makes. Unless a comment says otherwise,
// each returns what the system call returns (-1 on failure); LastError() then gives the code.
// None of them retries or reports: the caller decides what a failure means.

// The protocol number of a protocol name ("udp", "tcp"). Returns -1 and sets the last error to
// WSANO_DATA when the system knows no such protocol. Thread-safe, unlike getprotobyname. When the
// protocols database is missing, the names ip, icmp, tcp and udp are still known.
int ProtocolNumber(const char* name);

// A new socket descriptor, closed on exec so that no child process inherits it.
int CreateSocket(int family, int type, int protocol);

// Releases a descriptor. Linux releases it even when close fails, so it is never retried.
int Close(int descriptor);

// Non-blocking (on) or blocking (off) mode, as FIONBIO switches it.
int SetNonBlocking(int descriptor, bool on);

// setsockopt / getsockopt of a 4-byte integer option.
int SetIntOption(int descriptor, int level, int option, int value);
int GetIntOption(int descriptor, int level, int option, int& value);

// The descriptor's pending error (SO_ERROR) as a Windows Sockets code, 0 when there is none.
// Returns -1 when the option cannot be read.
int PendingError(int descriptor, int& code);

// Shuts down the sending direction.
int ShutdownSend(int descriptor);

// IPv4 bind and connect; address in network order, port in host order.
int BindIPv4(int descriptor, std::uint32_t address, std::uint16_t port);
int ConnectIPv4(int descriptor, std::uint32_t address, std::uint16_t port);

// connect of a non-blocking stream descriptor. A connect that has begun and goes on in the
// background fails with the code of operation-would-block (WSAEWOULDBLOCK), as such a connect
// does on the system the codes come from.
int StartConnectIPv4(int descriptor, std::uint32_t address, std::uint16_t port);

// True when the descriptor is connected to a peer (it has a peer address).
bool HasPeer(int descriptor);

// The local port of a bound IPv4 descriptor, in host order; -1 on failure.
int LocalPort(int descriptor);

// recv without waiting, whatever the descriptor's mode.
long Receive(int descriptor, void* buffer, std::size_t length, int flags);

// recvmmsg without waiting: up to `count` waiting datagrams, one into each message's buffer, in
// the order they came. Each message's msg_len is the full length of its datagram even when it
// was longer than the buffer (only the buffer's bytes are stored and the rest is gone), so the
// caller can tell. Returns how many datagrams were taken, or -1 when none was (LastError() then
// says why: would-block when none is waiting). A failure met after the first datagram is
// returned by the next call.
int ReceiveDatagrams(int descriptor, mmsghdr* messages, unsigned count);

long Send(int descriptor, const void* bytes, std::size_t length, int flags);

// An eventfd, non-blocking and closed on exec, whose counter starts at 0: a descriptor another
// thread makes readable to end a wait.
int CreateWakeEvent();

// Adds one to the event's counter, which makes it readable. Returns 0 on success, also when the
// counter is already at its maximum (the event is readable then anyway).
int SignalWakeEvent(int descriptor);

// Reads the event's counter, which sets it back to 0 and makes the event unreadable until it is
// signalled again. Returns 0 on success, also when the counter was 0 already.
int ClearWakeEvent(int descriptor);

// ppoll over `count` entries, waiting at most `timeout` (null: no limit). A wait interrupted by a
// signal goes on for the rest of the time, so the call never ends early on EINTR.
int Poll(pollfd* fds, std::size_t count, const timespec* timeout);

}  // namespace fp::sockets
