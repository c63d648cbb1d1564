#include "framegrab/StopSignals.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>

namespace fp {

StopSignals::StopSignals() {
  sigemptyset(&_signals);
  sigaddset(&_signals, SIGINT);
  sigaddset(&_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &_signals, &_previous);
  _waiter = std::thread(&StopSignals::Wait, this);
}

StopSignals::~StopSignals() {
  _stopping.store(true);
  _waiter.join();
  pthread_sigmask(SIG_SETMASK, &_previous, nullptr);
}

void StopSignals::Wait() {
  // Short waits, so that the destructor does not wait long for this thread.
  const timespec slice{0, 50'000'000};
  while (!_stopping.load()) {
    const int signal = sigtimedwait(&_signals, nullptr, &slice);
    if (signal <= 0) continue;
    int none = 0;
    if (!_received.compare_exchange_strong(none, signal)) {
      std::fflush(stdout);
      std::_Exit(128 + signal);
    }
  }
}

}  // namespace fp
