#pragma once

#include "base/ThreadAnnotations.h"

#include <mutex>

namespace fp {

// A std::mutex that the thread-safety analysis knows as a lock (the standard library's own is
// not annotated in libstdc++), so that the members marked GUARDED_BY it are checked. Taken and
// let go of through MutexLock.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { _mutex.lock(); }
  void Unlock() RELEASE() { _mutex.unlock(); }

 private:
  friend class MutexLock;
  std::mutex _mutex;
};

// Holds a Mutex from its construction to its destruction, as std::unique_lock does; Unlock and
// Lock let go of it for a while and take it back. A std::condition_variable waits on Native(),
// which lets go of the mutex during the wait and holds it again when the wait returns: for the
// analysis the mutex stays held, and a wait's predicate that reads guarded members is a lambda
// marked REQUIRES the mutex.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : _lock(mutex._mutex) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Lock() ACQUIRE() { _lock.lock(); }
  void Unlock() RELEASE() { _lock.unlock(); }
  // For std::condition_variable's waits, while held.
  std::unique_lock<std::mutex>& Native() { return _lock; }

 private:
  std::unique_lock<std::mutex> _lock;
};

}  // namespace fp
