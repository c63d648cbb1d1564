// The signal watcher on its own: signals sent to the process reach the handler on the watching
// thread in order, and the signal mask is as it was once the watcher is gone.

#include "base/SignalWatcher.h"

#include "tests/support/WaitUntil.h"
#include <gtest/gtest.h>

#include <mutex>
#include <pthread.h>
#include <vector>

namespace fp {
namespace {

bool Blocked(int signal) {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

TEST(SignalWatcher, HandsEachSignalToItsThreadAndRestoresTheMask) {
  ASSERT_FALSE(Blocked(SIGINT));
  std::mutex mutex;
  std::vector<int> seen;
  std::thread::id handler_thread;
  {
    const SignalWatcher watcher([&](int signal) {
      std::lock_guard<std::mutex> lock(mutex);
      seen.push_back(signal);
      handler_thread = std::this_thread::get_id();
    });
    EXPECT_TRUE(Blocked(SIGINT));
    EXPECT_TRUE(Blocked(SIGTERM));
    auto handled = [&](std::size_t count) {
      return test::WaitUntil(
          [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return seen.size() == count;
          },
          std::chrono::seconds(10));
    };
    kill(getpid(), SIGINT);
    ASSERT_TRUE(handled(1));
    // A SIGUSR1 from outside does not end the watching: pending together, it is taken before
    // the SIGTERM, which still arrives.
    kill(getpid(), SIGUSR1);
    kill(getpid(), SIGTERM);
    ASSERT_TRUE(handled(2));
  }
  EXPECT_EQ(seen, (std::vector<int>{SIGINT, SIGTERM}));
  EXPECT_NE(handler_thread, std::this_thread::get_id());
  EXPECT_FALSE(Blocked(SIGINT));
  EXPECT_FALSE(Blocked(SIGTERM));
}

}  // namespace
}  // namespace fp
