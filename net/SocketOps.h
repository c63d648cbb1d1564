#pragma once

#include <cstdint>

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

}  // namespace fp::sockets
