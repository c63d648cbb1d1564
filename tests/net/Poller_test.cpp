#include "net/Poller.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace fp::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A pipe, closed at the end of the test.
struct Pipe {
  Pipe() { EXPECT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0); }
  ~Pipe() {
    for (const int end : ends) {
      if (end != -1) close(end);
    }
  }
  void CloseWriteEnd() {
    close(ends[1]);
    ends[1] = -1;
  }
  int ends[2] = {-1, -1};
};

// Waits at most `ms` milliseconds, gathering for `gather`; returns the wait's result and how long
// it took.
std::pair<int, Clock::duration> TimedWait(Poller& poller, long ms, int& error,
                                          std::chrono::microseconds gather = 0us) {
  timeval timeout{0, ms * 1000};
  const Clock::time_point start = Clock::now();
  const int n = poller.Wait(&timeout, error, gather);
  return {n, Clock::now() - start};
}

TEST(PollerTest, CountsReadinessAsSelectDoesAndFailsOnANumberThatIsNoFile) {
  Poller poller;
  ASSERT_EQ(poller.WakeEventError(), 0);
  Pipe pipe;
  const int reader = pipe.ends[0];
  const int writer = pipe.ends[1];
  ASSERT_EQ(write(writer, "x", 1), 1);
  poller.SetInterest(reader, /*read=*/true, /*write=*/false, /*except=*/true);
  poller.SetInterest(writer, /*read=*/false, /*write=*/true, /*except=*/false);
  int error = 0;
  EXPECT_EQ(TimedWait(poller, 0, error).first, 2);
  EXPECT_EQ(poller.ReadyFor(reader), Poller::kReadReady);
  EXPECT_EQ(poller.ReadyFor(writer), Poller::kWriteReady);
  // A change of interest after the wait leaves its result as it was.
  poller.SetInterest(reader, false, false, false);
  EXPECT_EQ(poller.ReadyFor(reader), Poller::kReadReady);

  int stale = 1900;
  while (fcntl(stale, F_GETFD) != -1) ++stale;
  poller.SetInterest(stale, /*read=*/true, /*write=*/false, /*except=*/false);
  EXPECT_EQ(TimedWait(poller, 0, error).first, -1);
  EXPECT_EQ(error, 10038);  // socket operation on nonsocket
}

TEST(PollerTest, HangUpOnADescriptorWatchedForExceptionsAloneIsMutedUntilItsInterestIsSet) {
  Poller poller;
  Pipe pipe;
  const int reader = pipe.ends[0];
  pipe.CloseWriteEnd();  // the reader now reports a hang-up in every poll
  poller.SetInterest(reader, /*read=*/false, /*write=*/false, /*except=*/true);
  int error = 0;
  for (int wait = 0; wait < 2; ++wait) {
    const auto [n, took] = TimedWait(poller, 50, error);
    EXPECT_EQ(n, 0);
    EXPECT_GE(took, 45ms);  // waited out, not ended by the hang-up
  }
  // Interest set again: watched for reading, where a hang-up counts.
  poller.SetInterest(reader, /*read=*/true, /*write=*/false, /*except=*/true);
  EXPECT_EQ(TimedWait(poller, 1000, error).first, 1);
  EXPECT_EQ(poller.ReadyFor(reader), Poller::kReadReady);
}

TEST(PollerTest, WakeEndsOneWaitFromAnyThread) {
  Poller poller;
  int error = 0;
  // Made before the wait: both end the next wait only.
  poller.Wake();
  poller.Wake();
  auto [n, took] = TimedWait(poller, 5000, error);
  EXPECT_EQ(n, 0);
  EXPECT_LT(took, 1s);
  std::tie(n, took) = TimedWait(poller, 50, error);
  EXPECT_EQ(n, 0);
  EXPECT_GE(took, 45ms);

  // Made from another thread while the wait goes on.
  std::thread waker([&] {
    std::this_thread::sleep_for(50ms);
    poller.Wake();
  });
  std::tie(n, took) = TimedWait(poller, 10000, error);
  waker.join();
  EXPECT_EQ(n, 0);
  EXPECT_LT(took, 5s);
}

TEST(PollerTest, AGatheringWaitLooksOnlyOnceItsGatherTimeIsOverOrAWakeUpEndsIt) {
  const struct {
    const char* name;
    bool woken;
  } cases[] = {{"gathered", false}, {"woken", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Poller poller;
    Pipe pipe;
    // Ready before the wait begins, as a datagram already queued is.
    ASSERT_EQ(write(pipe.ends[1], "x", 1), 1);
    poller.SetInterest(pipe.ends[0], /*read=*/true, /*write=*/false, /*except=*/false);
    std::thread waker([&] {
      if (!c.woken) return;
      std::this_thread::sleep_for(20ms);
      poller.Wake();
    });
    int error = 0;
    const auto [n, took] = TimedWait(poller, 5000, error, /*gather=*/1000ms);
    waker.join();
    EXPECT_EQ(n, 1);
    EXPECT_EQ(poller.ReadyFor(pipe.ends[0]), Poller::kReadReady);
    if (c.woken) {
      EXPECT_LT(took, 900ms);
    } else {
      EXPECT_GE(took, 1000ms);
    }
    // The wake-up was used up by this wait: the next one ends at once on the ready pipe alone.
    EXPECT_EQ(TimedWait(poller, 0, error).first, 1);
  }
}

}  // namespace
}  // namespace fp::test
