#include "net/SocketLog.h"

namespace fp {

SocketLog::~SocketLog() = default;

}  // namespace fp
