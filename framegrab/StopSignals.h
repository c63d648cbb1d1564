#pragma once

#include <atomic>
#include <csignal>
#include <thread>

namespace fp {

// Turns SIGINT and SIGTERM into a flag that a run polls between images, so that it ends after
// the current image with its summary. A second signal ends the process at once with
// 128 + the signal. The signals are taken by a thread of their own: build this first in main,
// before any other thread starts, so that every later thread inherits the blocked signals.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The first signal received, or 0. Safe from any thread.
  const std::atomic<int>& Received() const { return _received; }

 private:
  void Wait();

  sigset_t _signals;
  sigset_t _previous;
  std::atomic<int> _received{0};
  std::atomic<bool> _stopping{false};
  std::thread _waiter;
};

}  // namespace fp
