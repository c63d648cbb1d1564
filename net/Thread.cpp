#include "net/Thread.h"

namespace fp {

Thread::Thread() {
  // Started here, not in the member list, so that every flag the thread reads is set first.
  _handle = std::thread(&Thread::Entry, this);
  _thread_id = _handle.get_id();
}

Thread::~Thread() { StopAndJoin(); }

void Thread::SetRunning(bool x) {
  {
    const std::lock_guard<std::mutex> lock(_wait_mutex);
    _running.store(x);
  }
  _wake.notify_all();
}

void Thread::SetRelease(bool x) {
  {
    const std::lock_guard<std::mutex> lock(_wait_mutex);
    _go.store(x);
  }
  _wake.notify_all();
}

void Thread::StopAndJoin() {
  // Claimed before the body can end: a body that ends now, and was told to delete its object,
  // leaves it to the destructor under way.
  _dying.store(true);
  // A body still waiting for its release must not begin, and a running one is asked to end.
  SetRunning(false);
  if (_handle.joinable() && _handle.get_id() != std::this_thread::get_id()) _handle.join();
}

void Thread::Entry(Thread* self) {
  if (self->_running.load()) {
    {
      // Woken by the release, or by the request to end, whichever comes first.
      std::unique_lock<std::mutex> lock(self->_wait_mutex);
      self->_wake.wait(lock, [self] { return self->_go.load() || !self->_running.load(); });
    }
    if (self->_running.load()) self->Execute();
  }
  self->_running.store(false);
  // Claiming _dying decides between this thread and a destructor that may have begun: whoever
  // sets it first deletes, and a destructor already under way joins this thread instead.
  if (self->_self_delete.load() && !self->_dying.exchange(true)) {
    // Nobody joins a thread that deletes its own object; after the delete nothing of it is
    // touched again.
    self->_handle.detach();
    delete self;
  }
}

}  // namespace fp
