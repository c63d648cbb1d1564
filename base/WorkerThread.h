#pragma once

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>

namespace fp {

// The thread of a class that does its work in a loop of its own: the loop waits on the owner's
// condition variable `wake` for work or for `stop`, both guarded by the owner's `mutex`, and
// returns once `stop` is set (after finishing what it must). Declared last among the owner's
// members, it starts when everything it uses exists and, when destroyed, sets `stop`, wakes the
// loop and joins it before anything else of the owner goes.
class WorkerThread {
 public:
  WorkerThread(Mutex& mutex, std::condition_variable& wake, bool& stop,
               const std::function<void()>& loop);
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

 private:
  Mutex& _mutex;                   // the owner's
  std::condition_variable& _wake;  // the owner's
  bool& _stop GUARDED_BY(_mutex);  // the owner's
  std::thread _thread;
};

// For such a loop that works through a queue of jobs: waits under `lock` (the owner's mutex) for
// a job or for `stop`, then moves the first job into `job` and sets `busy`, which the loop clears
// under the mutex when the job is done. False when stopping with nothing left to do. The owner's
// members guarded by its mutex are passed by reference, which the analysis allows only with the
// mutex held.
template <typename Job>
bool TakeNextJob(MutexLock& lock, std::condition_variable& wake, const bool& stop,
                 std::deque<Job>& queue, bool& busy, Job& job) {
  wake.wait(lock.Native(), [&] { return stop || !queue.empty(); });
  if (queue.empty()) return false;
  job = std::move(queue.front());
  queue.pop_front();
  busy = true;
  return true;
}

}  // namespace fp
