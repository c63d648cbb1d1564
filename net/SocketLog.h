#pragma once

#include <cstdint>
#include <string>

namespace fp {

class Socket;
class SocketHandler;

// How much a report of the socket layer matters.
enum ReportLevel : std::int32_t {
  Warning = 0,  // misuse or an unusual condition that changes nothing
  Error = 1,    // a failed system call after which the socket carries on
  Fatal = 2,    // a failure that ends the socket or its connection attempt
  Info = 3,     // progress of connection handling
};

// Receives every report of a SocketHandler and of the sockets it serves. The handler does not
// own its log. Report runs on the thread that made the failing call: the owner's thread for
// Bind, Open and the sends, the thread running Select for everything else.
class SocketLog {
 public:
  virtual ~SocketLog();

  // `socket` is null for reports about the handler itself. `code` is a Windows Sockets error
  // code, a byte count or a marker, as each report defines it.
  virtual void Report(SocketHandler& handler, Socket* socket, const std::string& call,
                      std::int32_t code, const std::string& text, ReportLevel level) = 0;
};

}  // namespace fp
