#include "net/Thread.h"

#include <chrono>

namespace fp {

namespace {

// How often a thread waiting for its release looks again.
constexpr std::chrono::milliseconds kReleasePoll{1000};

}  // namespace

Thread::Thread() {
  // Started here, not in the member list, so that every flag the thread reads is set first.
  _handle = std::thread(&Thread::Entry, this);
  _thread_id = _handle.get_id();
}

Thread::~Thread() { StopAndJoin(); }

void Thread::StopAndJoin() {
  // Claimed before the body can end: a body that ends now, and was told to delete its object,
  // leaves it to the destructor under way.
  _dying.store(true);
  if (_running.load()) {
    // A body still waiting for its release must not begin, and a running one is asked to end.
    // _running is cleared before _go is set: a thread that sees the release then also sees
    // that it is no longer wanted, and never begins its body on a dying object.
    _running.store(false);
    _go.store(true);
  }
  if (_handle.joinable() && _handle.get_id() != std::this_thread::get_id()) _handle.join();
}

void Thread::Entry(Thread* self) {
  if (self->_running.load()) {
    while (!self->_go.load() && self->_running.load()) std::this_thread::sleep_for(kReleasePoll);
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
