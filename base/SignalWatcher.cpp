#include "base/SignalWatcher.h"

#include <pthread.h>

namespace fp {

namespace {

// Sent by the destructor to the watching thread alone, to let it end. A SIGUSR1 from outside
// while the watcher runs is taken and ignored.
constexpr int kStopSignal = SIGUSR1;

}  // namespace

SignalWatcher::SignalWatcher(std::function<void(int signal)> on_signal)
    : _on_signal(std::move(on_signal)) {
  sigemptyset(&_signals);
  sigaddset(&_signals, SIGINT);
  sigaddset(&_signals, SIGTERM);
  sigaddset(&_signals, kStopSignal);
  pthread_sigmask(SIG_BLOCK, &_signals, &_previous);
  _waiter = std::thread(&SignalWatcher::Watch, this);
}

SignalWatcher::~SignalWatcher() {
  _stopping.store(true);
  pthread_kill(_waiter.native_handle(), kStopSignal);
  _waiter.join();
  pthread_sigmask(SIG_SETMASK, &_previous, nullptr);
}

void SignalWatcher::Watch() {
  for (;;) {
    int signal = 0;
    if (sigwait(&_signals, &signal) != 0) continue;
    if (signal == kStopSignal) {
      // Only the destructor's counts; one from outside is no reason to stop watching.
      if (_stopping.load()) return;
      continue;
    }
    _on_signal(signal);
  }
}

}  // namespace fp
