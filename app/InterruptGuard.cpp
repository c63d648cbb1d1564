#include "app/InterruptGuard.h"

#include "camera/CEthCamera.h"

#include <cstdio>
#include <cstdlib>

namespace fp {

InterruptGuard::InterruptGuard() : _watcher([this](int signal) { OnSignal(signal); }) {}

void InterruptGuard::Watch(CEthCamera* camera) {
  std::lock_guard<std::mutex> lock(_mutex);
  _camera = camera;
}

void InterruptGuard::Unwatch() {
  std::lock_guard<std::mutex> lock(_mutex);
  _camera = nullptr;
  _finishing = true;
}

void InterruptGuard::OnSignal(int signal) {
  // Held to the end: a camera cannot be unwatched and deleted while its logs are closed.
  _mutex.lock();
  if (_finishing) {
    _noted.store(128 + signal);
    _mutex.unlock();
    return;
  }
  if (_camera != nullptr) _camera->CloseLogsWith("Interrupted.\n\n");
  std::fflush(stdout);
  std::_Exit(128 + signal);
}

}  // namespace fp
