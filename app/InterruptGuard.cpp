#include "app/InterruptGuard.h"

#include "camera/CEthCamera.h"

#include <cstdio>
#include <cstdlib>
#include <pthread.h>

namespace fp {

namespace {

// Sent by the destructor to the waiting thread alone, to let it end.
constexpr int kStopSignal = SIGUSR1;

}  // namespace

InterruptGuard::InterruptGuard() {
  sigemptyset(&_signals);
  sigaddset(&_signals, SIGINT);
  sigaddset(&_signals, SIGTERM);
  sigaddset(&_signals, kStopSignal);
  pthread_sigmask(SIG_BLOCK, &_signals, &_previous);
  _waiter = std::thread(&InterruptGuard::WaitForSignals, this);
}

InterruptGuard::~InterruptGuard() {
  _stopping.store(true);
  pthread_kill(_waiter.native_handle(), kStopSignal);
  _waiter.join();
  pthread_sigmask(SIG_SETMASK, &_previous, nullptr);
}

void InterruptGuard::Watch(CEthCamera* camera) {
  std::lock_guard<std::mutex> lock(_mutex);
  _camera = camera;
}

void InterruptGuard::Unwatch() {
  std::lock_guard<std::mutex> lock(_mutex);
  _camera = nullptr;
  _finishing = true;
}

void InterruptGuard::WaitForSignals() {
  for (;;) {
    int signal = 0;
    if (sigwait(&_signals, &signal) != 0) continue;
    if (signal == kStopSignal) {
      // Only the destructor's counts; one from outside is no reason to stop listening.
      if (_stopping.load()) return;
      continue;
    }
    // Held to the end: a camera cannot be unwatched and deleted while its logs are closed.
    _mutex.lock();
    if (_finishing) {
      _noted.store(128 + signal);
      _mutex.unlock();
      continue;
    }
    if (_camera != nullptr) _camera->CloseLogsWith("Interrupted.\n\n");
    std::fflush(stdout);
    std::_Exit(128 + signal);
  }
}

}  // namespace fp
