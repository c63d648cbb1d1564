#pragma once

#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>

namespace fp {

class CEthCamera;

// Ends the process in an orderly way on SIGINT or SIGTERM. A user who stops a hanging run needs
// the log lines that explain the hang, and a signal that ends the process loses what the logs
// still buffer. So the signals are taken by a thread of their own instead of a handler: it
// writes out the watched camera's logs, each with a last line "Interrupted.", flushes the
// console and ends the process with status 128 + the signal (130 for SIGINT, 143 for SIGTERM).
//
// Build it first in main, before any other thread starts: the signals are blocked in the
// calling thread, and every thread started later inherits that. The destructor stops the
// waiting thread and unblocks the signals again.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
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
  void WaitForSignals();

  sigset_t _signals;
  sigset_t _previous;
  // Guarded by _mutex: held while a signal is handled, until the process ends.
  std::mutex _mutex;
  CEthCamera* _camera = nullptr;  // not owned
  bool _finishing = false;
  std::atomic<int> _noted{0};
  std::atomic<bool> _stopping{false};
  std::thread _waiter;
};

}  // namespace fp
