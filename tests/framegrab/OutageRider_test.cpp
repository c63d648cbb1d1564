#include "framegrab/acquire/OutageRider.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace fp {
namespace {

using namespace std::chrono_literals;
using Clock = OutageRider::Clock;
using Step = OutageRider::Step;

// Every reopening fails at once: the pauses between them are 0.2 s until the camera has been
// silent for 10 s, then double up to 10 s and stay there.
TEST(OutageRider, PausesShortWhileYoungThenDoublingToTheBound) {
  const Clock::time_point heard{};
  const Clock::time_point found = heard + 1s;
  OutageRider rider(heard, found, 0s);
  EXPECT_EQ(rider.At(found), Step::kWait);
  EXPECT_EQ(rider.At(found + 199ms), Step::kWait);
  EXPECT_EQ(rider.Next(), found + 200ms);

  std::vector<Clock::duration> pauses;
  Clock::time_point now = rider.Next();
  while (now < heard + 60s) {
    ASSERT_EQ(rider.At(now), Step::kReopen);
    rider.Failed(now);
    pauses.push_back(rider.Next() - now);
    now = rider.Next();
  }
  // From 1.2 s to 10 s since last heard: 44 failures at 0.2 s; the one at 10.0 s doubles.
  ASSERT_GE(pauses.size(), 50u);
  for (std::size_t i = 0; i < 44; ++i) EXPECT_EQ(pauses[i], 200ms) << i;
  const std::vector<Clock::duration> growing = {400ms, 800ms, 1600ms, 3200ms, 6400ms, 10s, 10s};
  for (std::size_t i = 0; i < growing.size(); ++i) EXPECT_EQ(pauses[44 + i], growing[i]) << i;
}

// The give-up time counts from the camera's last datagram, not from when the outage was found;
// none means the outage is ridden out for ever.
TEST(OutageRider, GivesUpAfterTheSilenceGivenFromLastHeard) {
  const Clock::time_point heard{};
  struct Case {
    std::chrono::duration<double> give_up_after;
    Clock::duration at;  // since last heard
    Step step;
  };
  const Case cases[] = {
      {2.5s, 2499ms, Step::kReopen}, {2.5s, 2500ms, Step::kGiveUp}, {0s, 3600s, Step::kReopen},
      {-1s, 3600s, Step::kReopen},   {0.1s, 150ms, Step::kGiveUp},  // gone before the first
                                                                    // reopening was due
  };
  for (const Case& c : cases) {
    const OutageRider rider(heard, heard + 10ms, c.give_up_after);
    EXPECT_EQ(rider.At(heard + c.at), c.step)
        << c.give_up_after.count() << " s, at " << (c.at / 1ms) << " ms";
  }
}

}  // namespace
}  // namespace fp
