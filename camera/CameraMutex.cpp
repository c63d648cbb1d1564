#include "camera/CameraMutex.h"

namespace fp {

CameraMutex::WaitResult CameraMutex::Wait(std::chrono::milliseconds limit) {
  const auto self = std::this_thread::get_id();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock<std::mutex> lock(_mutex);
  while (_depth != 0 && _owner != self) {
    if (_released.wait_until(lock, deadline) == std::cv_status::timeout && _depth != 0 &&
        _owner != self) {
      return WaitResult::kTimedOut;
    }
  }
  if (_depth == UINT32_MAX) return WaitResult::kFailed;
  _owner = self;
  ++_depth;
  return WaitResult::kAcquired;
}

bool CameraMutex::Wait() {
  const auto self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(_mutex);
  _released.wait(lock, [&] { return _depth == 0 || _owner == self; });
  if (_depth == UINT32_MAX) return false;
  _owner = self;
  ++_depth;
  return true;
}

bool CameraMutex::TryWait() {
  const auto self = std::this_thread::get_id();
  std::lock_guard<std::mutex> lock(_mutex);
  if ((_depth != 0 && _owner != self) || _depth == UINT32_MAX) return false;
  _owner = self;
  ++_depth;
  return true;
}

bool CameraMutex::Release() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_depth == 0 || _owner != std::this_thread::get_id()) return false;
    if (--_depth != 0) return true;
    _owner = std::thread::id{};
  }
  _released.notify_all();
  return true;
}

bool CameraMutex::ReleaseAll() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_depth == 0 || _owner != std::this_thread::get_id()) return false;
    _depth = 0;
    _owner = std::thread::id{};
  }
  _released.notify_all();
  return true;
}

bool CameraMutex::HeldByCaller() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _depth != 0 && _owner == std::this_thread::get_id();
}

}  // namespace fp
