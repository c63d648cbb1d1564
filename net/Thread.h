#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace fp {

// A thread object whose body is the virtual Execute. The constructor starts the thread at once;
// the body begins only once the thread is released (SetRelease(true)), as soon as it is: the
// thread sleeps on the release itself, not in periods. It never begins its body when the object
// is destroyed first.
//
// Release a thread only once its object is complete: the body is a virtual call, and a release
// given while a derived constructor still runs would let it begin on a half-built object.
//
// Whoever deletes a Thread that does not delete itself waits for its thread to end: the
// destructor clears IsRunning(), which a body that runs for long must poll, and joins. A thread
// told to delete itself (SetDeleteOnExit) deletes its object when its body returns; nobody else
// may delete it after that has been asked, and nobody joins it.
class Thread {
 public:
  Thread();
  virtual ~Thread();

  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // The body, on the new thread. It should return soon after IsRunning() turns false.
  virtual void Execute() = 0;

  // Wanted: set by the constructor, cleared to ask the body to end, and by the thread when the
  // body has returned. Safe from any thread.
  bool IsRunning() const { return _running.load(); }
  void SetRunning(bool x);
  // The body may begin; a thread waiting for it begins at once. Safe from any thread.
  bool IsReleased() const { return _go.load(); }
  void SetRelease(bool x);
  // The object deletes itself when its body returns (then only if no destructor has begun).
  bool DeleteOnExit() const { return _self_delete.load(); }
  void SetDeleteOnExit(bool x) { _self_delete.store(x); }

  std::thread::id GetThreadId() const { return _thread_id; }

 protected:
  // Asks the body to end and waits for the thread, unless it is the calling thread itself or has
  // already been waited for. Every destructor of a class that Execute uses calls it first, so
  // that no member goes while the body still runs; it also takes the object's deletion from a
  // body that ends meanwhile.
  void StopAndJoin();

 private:
  static void Entry(Thread* self);

  std::thread _handle;
  std::thread::id _thread_id;
  std::atomic<bool> _running{true};
  std::atomic<bool> _go{false};
  std::atomic<bool> _self_delete{false};
  std::atomic<bool> _dying{false};
  // A thread waiting for its release sleeps on _wake; _running and _go change under
  // _wait_mutex, so that no change slips in between its look at them and its sleep.
  std::mutex _wait_mutex;
  std::condition_variable _wake;
};

}  // namespace fp
