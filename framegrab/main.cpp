// framegrab: takes many RAW images from a NUDP camera and reports how they arrived.
#include "base/SignalWatcher.h"

#include "framegrab/Framegrab.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  // The first SIGINT or SIGTERM ends the run after the current image, with its summary; a
  // second ends the process at once.
  std::atomic<int> received{0};
  // Before any other thread starts.
  const fp::SignalWatcher signals([&received](int signal) {
    int none = 0;
    if (received.compare_exchange_strong(none, signal)) return;
    std::fflush(stdout);
    std::_Exit(128 + signal);
  });
  const std::vector<std::string> args(argv + 1, argv + argc);
  return fp::RunFramegrab(args, stdout, stderr, &received);
}
