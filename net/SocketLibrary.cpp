#include "net/SocketLibrary.h"

#include <csignal>
#include <cstdlib>

namespace fp {

bool SocketLibraryStartup() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGPIPE, &action, nullptr) == 0;
}

void SocketLibraryCleanup() {}

namespace {

struct SocketLibraryGuard {
  SocketLibraryGuard() {
    if (!SocketLibraryStartup()) std::_Exit(-1);
    std::atexit(SocketLibraryCleanup);
  }
};

const SocketLibraryGuard socket_library_guard;

}  // namespace

}  // namespace fp

// Every program that links the socket layer asks the linker for this symbol, which pulls the
// start-up above out of the static archive even when the program makes no socket call itself.
extern "C" {
extern const int fp_socket_library_anchor;
const int fp_socket_library_anchor = 0;
}
