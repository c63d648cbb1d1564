#pragma once

#include "base/SignalWatcher.h"

#include <atomic>
#include <mutex>

namespace fp {

class CEthCamera;

// Ends the process in an orderly way on SIGINT or SIGTERM. A user who stops a hanging run needs
// the log lines that explain the hang, and a signal that ends the process loses what the logs
// still buffer. So on a signal the watched camera's logs are written out, each with a last line
// "Interrupted.", the console is flushed and the process ends with status 128 + the signal (130
// for SIGINT, 143 for SIGTERM).
//
// Build it first in main, before any other thread starts (see SignalWatcher).
class InterruptGuard {
 public:
  InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  // The camera whose logs a signal closes. Returns only when no signal is being handled. Safe
  // from any thread.
  void Watch(CEthCamera* camera);
  // The watched camera is about to be deleted, which writes and closes its logs itself: a signal
  // from now on is only noted, and the process ends normally with Status(). Safe from any thread.
  void Unwatch();
  // 128 + the signal noted after Unwatch, or 0 when none came.
  int Status() const { return _noted.load(); }

 private:
  void OnSignal(int signal);

  // Guarded by _mutex: held while a signal is handled, until the process ends.
  std::mutex _mutex;
  CEthCamera* _camera = nullptr;  // not owned
  bool _finishing = false;
  std::atomic<int> _noted{0};
  SignalWatcher _watcher;  // last: calls OnSignal once everything above exists
};

}  // namespace fp
