#pragma once

#include <chrono>

namespace fp {

// When to try reopening a camera that went away, and when to give up on it. Reopenings come
// every kFirstPause while the outage is young (kShortOutage since the camera was last heard), so
// that a brief cut is measured closely; after that each pause doubles up to kLongestPause, so
// that a camera away for long is not asked too often. With a give-up time, the outage ends the
// run once the camera has been silent that long. Pure: the caller says what time it is.
class OutageRider {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirstPause{200};
  static constexpr std::chrono::milliseconds kShortOutage{10'000};
  static constexpr std::chrono::milliseconds kLongestPause{10'000};

  enum class Step {
    kWait,    // until Next()
    kReopen,  // try now; then Failed() or the outage is over
    kGiveUp,  // silent for the give-up time
  };

  // An outage of a camera last heard at `last_heard`, found at `now`; `give_up_after` of
  // silence ends it (zero or less: never).
  OutageRider(Clock::time_point last_heard, Clock::time_point now,
              std::chrono::duration<double> give_up_after)
      : _last_heard(last_heard), _give_up_after(give_up_after), _next(now + kFirstPause) {}

  // What to do at `now`.
  Step At(Clock::time_point now) const {
    if (_give_up_after.count() > 0 && now - _last_heard >= _give_up_after) return Step::kGiveUp;
    return now < _next ? Step::kWait : Step::kReopen;
  }
  // A reopening that ended at `now` without contact: the next comes after the next pause.
  void Failed(Clock::time_point now) {
    if (now - _last_heard >= kShortOutage) _pause = std::min(_pause * 2, kLongestPause);
    _next = now + _pause;
  }
  // When the next reopening is due.
  Clock::time_point Next() const { return _next; }

 private:
  Clock::time_point _last_heard;
  std::chrono::duration<double> _give_up_after;
  std::chrono::milliseconds _pause = kFirstPause;
  Clock::time_point _next;
};

}  // namespace fp
