#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <pybind11/pybind11.h>

namespace fp::python {

// Runs `work` on a thread of its own while the calling Python thread waits without the GIL and
// looks for signals every 50 ms. When a signal's handler raises (Ctrl-C: KeyboardInterrupt), the
// stop flag handed to `work` is set, `work` is waited for (the driver ends the transfer running
// within some 25 ms and stops recovery before its next request) and the handler's exception is
// raised as py::error_already_set: the camera is then idle and may be used or closed, and
// `work` has ended, so what it wrote may be read. A failure of `work` itself is thrown as it
// came. Call with the GIL held.
template <typename Result>
Result RunInterruptible(const std::function<Result(const std::atomic<bool>* stop)>& work) {
  namespace py = pybind11;
  std::atomic<bool> stop{false};
  std::future<Result> done;
  bool interrupted = false;
  {
    py::gil_scoped_release release;
    done = std::async(std::launch::async, work, &stop);
    while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
      py::gil_scoped_acquire acquire;
      if (PyErr_CheckSignals() != 0) {
        interrupted = true;
        stop.store(true);
        break;
      }
    }
    done.wait();
  }
  if (interrupted) {
    // The exception of the signal handler wins over what the interrupted work ended with.
    try {
      done.get();
    } catch (const std::exception&) {
    }
    throw py::error_already_set();
  }
  return done.get();
}

}  // namespace fp::python
