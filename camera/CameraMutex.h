#pragma once

#include "base/ThreadAnnotations.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace fp {

// A recursive mutex owned by a thread, with waits that have a time limit or none and end as
// acquired, timed out or failed. The owning thread may wait for it again and must release it
// once for every acquisition; a release by a thread that does not own it fails and changes
// nothing, so a wrong release shows in a result instead of corrupting the lock.
//
// Built on a plain mutex and a condition variable rather than on the timed mutex of the standard
// library, whose timed waits the thread sanitizer cannot follow. All operations are safe from
// any thread.
//
// For the thread-safety analysis it is a lock (base/ThreadAnnotations.h). The analysis knows
// neither recursion nor the three results of a timed wait: the timed Wait is not annotated, and a
// caller that takes the mutex with it is one the analysis does not follow.
class CAPABILITY("mutex") CameraMutex {
 public:
  enum class WaitResult { kAcquired, kTimedOut, kFailed };

  CameraMutex() = default;
  CameraMutex(const CameraMutex&) = delete;
  CameraMutex& operator=(const CameraMutex&) = delete;

  // Waits at most `limit` for the mutex.
  WaitResult Wait(std::chrono::milliseconds limit);
  // Waits without a time limit; false only when the wait failed. It fails only for an owner
  // whose acquisitions are at their count's limit, which no caller comes near: callers log the
  // failure and go on, or end and let go of everything. The analysis takes it as acquiring.
  bool Wait() ACQUIRE();
  // Takes the mutex when that needs no waiting.
  bool TryWait() TRY_ACQUIRE(true);
  // Releases one acquisition; false (nothing changes) when the caller does not own the mutex.
  bool Release() RELEASE();
  // Releases every acquisition the calling thread holds; false when it holds none.
  bool ReleaseAll() RELEASE();
  // True when the calling thread owns the mutex.
  bool HeldByCaller() const;

 private:
  // Guarded by _mutex.
  mutable std::mutex _mutex;
  std::condition_variable _released;
  std::thread::id _owner{};
  std::uint32_t _depth = 0;
};

}  // namespace fp
