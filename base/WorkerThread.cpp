#include "base/WorkerThread.h"

namespace fp {

WorkerThread::WorkerThread(Mutex& mutex, std::condition_variable& wake, bool& stop,
                           const std::function<void()>& loop)
    : _mutex(mutex), _wake(wake), _stop(stop), _thread(loop) {}

WorkerThread::~WorkerThread() {
  {
    MutexLock lock(_mutex);
    _stop = true;
  }
  _wake.notify_all();
  _thread.join();
}

}  // namespace fp
