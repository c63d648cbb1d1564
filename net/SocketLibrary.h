#pragma once

namespace fp {

// Start-up and clean-up of the system's socket library. The start-up runs once, before main,
// in every program that links the socket layer; when it fails the process ends at once with
// exit status -1 (255) and prints nothing. The clean-up runs once at normal process exit.
//
// POSIX sockets need no library start-up: the start-up here only makes a write to a socket
// whose peer has gone report an error instead of ending the process with SIGPIPE, as sends
// behave on every system this layer reports for.
bool SocketLibraryStartup();
void SocketLibraryCleanup();

}  // namespace fp
