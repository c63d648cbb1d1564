#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace fp {

// Lowers the calling thread's priority by 10 nice steps (to 19 at most): for the threads that
// show a run (serving, encoding), so that on a busy machine the threads that take the images
// get the processor first. Failing that, the thread runs as it is.
inline void RunInBackground() {
  const auto self = static_cast<id_t>(gettid());
  const int nice = getpriority(PRIO_PROCESS, self);
  setpriority(PRIO_PROCESS, self, nice + 10 > 19 ? 19 : nice + 10);
}

}  // namespace fp
