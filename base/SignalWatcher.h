#pragma once

#include <atomic>
#include <csignal>
#include <functional>
#include <thread>

namespace fp {

// Takes SIGINT and SIGTERM on a thread of its own instead of in a handler, so that what a
// program does about them (write out its logs, end a run after the current image) runs as
// ordinary code and may take locks. `on_signal` is called on that thread, once for each signal,
// with the signal's number; it may end the process.
//
// Build it first in main, before any other thread starts: the signals are blocked in the
// calling thread, and every thread started later inherits that. The destructor stops the
// watching thread and unblocks the signals again.
class SignalWatcher {
 public:
  explicit SignalWatcher(std::function<void(int signal)> on_signal);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  void Watch();

  const std::function<void(int)> _on_signal;
  sigset_t _signals;
  sigset_t _previous;
  std::atomic<bool> _stopping{false};
  std::thread _waiter;
};

}  // namespace fp
