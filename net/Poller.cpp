#include "net/Poller.h"

#include "net/SocketOps.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <poll.h>
#include <sys/time.h>

namespace fp {

namespace {

// poll results that the descriptor-set wait counts as readable, writable and exceptional.
// Errors and hang-ups count as readable (and errors as writable), so a pending error, such as
// an ICMP port unreachable on a connected datagram socket, reaches OnRead, whose receive
// reports it.
constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
constexpr short kWritable = POLLOUT | POLLERR;
constexpr short kExceptional = POLLPRI;

}  // namespace

bool Poller::DescriptorSet::Contains(int descriptor) const {
  return std::find(_descriptors.begin(), _descriptors.begin() + static_cast<long>(_count),
                   descriptor) != _descriptors.begin() + static_cast<long>(_count);
}

void Poller::DescriptorSet::Insert(int descriptor) {
  if (_count == kSetSize || Contains(descriptor)) return;
  _descriptors[_count++] = descriptor;
}

void Poller::DescriptorSet::Erase(int descriptor) {
  for (std::size_t i = 0; i < _count; ++i) {
    if (_descriptors[i] == descriptor) {
      _descriptors[i] = _descriptors[--_count];
      return;
    }
  }
}

Poller::Poller() : _wake_event(sockets::CreateWakeEvent()) {
  if (_wake_event == -1) _wake_error = sockets::LastError();
  _poll_fds.reserve(3 * kSetSize + 1);
}

Poller::~Poller() {
  if (_wake_event != -1) sockets::Close(_wake_event);
}

void Poller::SetInterest(int descriptor, bool read, bool write, bool except) {
  _muted.Erase(descriptor);
  DescriptorSet* sets[] = {&_read_set, &_write_set, &_except_set};
  const bool wanted[] = {read, write, except};
  for (int s = 0; s < 3; ++s) {
    if (wanted[s]) {
      sets[s]->Insert(descriptor);
    } else {
      sets[s]->Erase(descriptor);
    }
  }
}

void Poller::Wake() {
  // The only failure possible, a counter at its maximum, leaves the event readable anyway.
  if (_wake_event != -1) sockets::SignalWakeEvent(_wake_event);
}

int Poller::Wait(const struct timeval* timeout, int& error, std::chrono::microseconds gather) {
  using Clock = std::chrono::steady_clock;
  timespec limit{};
  if (timeout != nullptr) {
    // select accepts any number of microseconds; carry whole seconds over.
    limit.tv_sec = static_cast<time_t>(timeout->tv_sec + timeout->tv_usec / 1000000);
    limit.tv_nsec = static_cast<long>(timeout->tv_usec % 1000000) * 1000;
    if (limit.tv_nsec < 0 && limit.tv_sec > 0) {
      limit.tv_sec -= 1;
      limit.tv_nsec += 1000000000L;
    }
  }
  const bool bounded = timeout != nullptr && limit.tv_sec >= 0 && limit.tv_nsec >= 0;
  const Clock::time_point deadline = bounded ? Clock::now() + std::chrono::seconds(limit.tv_sec) +
                                                   std::chrono::nanoseconds(limit.tv_nsec)
                                             : Clock::time_point{};
  if (gather.count() > 0 && _wake_event != -1) {
    const Clock::time_point gathered = Clock::now() + gather;
    const auto span = std::chrono::duration_cast<std::chrono::nanoseconds>(
        bounded ? std::min(gathered, deadline) - Clock::now() : gather);
    if (span.count() > 0) {
      const timespec pause{static_cast<time_t>(span.count() / 1000000000L),
                           static_cast<long>(span.count() % 1000000000L)};
      // A wake-up leaves the event set, so the wait below ends at once too and clears it.
      pollfd wake{_wake_event, POLLIN, 0};
      sockets::Poll(&wake, 1, &pause);
    }
    if (bounded) {
      const auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::max(deadline - Clock::now(), Clock::duration::zero()));
      limit.tv_sec = static_cast<time_t>(rest.count() / 1000000000L);
      limit.tv_nsec = static_cast<long>(rest.count() % 1000000000L);
    }
  }
  for (;;) {
    const std::size_t watched = BuildPollSet();
    int rc =
        sockets::Poll(_poll_fds.data(), _poll_fds.size(), timeout == nullptr ? nullptr : &limit);
    bool woken = false;
    if (rc > 0 && _poll_fds.size() > watched && (_poll_fds.back().revents & POLLIN) != 0) {
      // Drained whatever else the wait found, so that the wake-ups made so far end this wait
      // and no later one.
      sockets::ClearWakeEvent(_wake_event);
      woken = true;
    }
    bool muted = false;
    if (rc > 0) rc = Count(watched, muted);
    if (rc == 0 && muted && !woken) {
      // Only muted descriptors ended the wait: wait again for the rest of the time.
      if (!bounded) continue;
      const auto rest =
          std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
      if (rest.count() > 0) {
        limit.tv_sec = static_cast<time_t>(rest.count() / 1000000000L);
        limit.tv_nsec = static_cast<long>(rest.count() % 1000000000L);
        continue;
      }
    }
    if (rc == -1) error = sockets::LastError();
    return rc;
  }
}

int Poller::Count(std::size_t watched, bool& muted) {
  int count = 0;
  for (std::size_t i = 0; i < _poll_fds.size(); ++i) {
    pollfd& entry = _poll_fds[i];
    if ((entry.revents & POLLNVAL) != 0) {
      errno = EBADF;
      return -1;
    }
    if (i >= watched) continue;
    if (entry.events == POLLPRI && (entry.revents & (POLLERR | POLLHUP)) != 0) {
      // poll reports errors and hang-ups whether asked or not. On a descriptor watched for
      // exceptions alone (a stream socket after a failed connect) they would end every wait at
      // once. A pending error counts once, as the exceptional condition select reports for a
      // failed connect; a hang-up alone is the state of a closed connection, not an event.
      // Either way the descriptor stays out of the waits until its interest is set again.
      if ((entry.revents & POLLERR) != 0) entry.revents = static_cast<short>(POLLPRI);
      _muted.Insert(entry.fd);
      muted = true;
    }
    count += std::popcount(static_cast<unsigned>(Readiness(entry)));
  }
  return count;
}

std::size_t Poller::BuildPollSet() {
  // poll, unlike select, takes any descriptor number; the interest sets keep select's rules.
  _poll_fds.clear();
  const DescriptorSet* sets[] = {&_read_set, &_write_set, &_except_set};
  const short events[] = {POLLIN, POLLOUT, POLLPRI};
  for (int s = 0; s < 3; ++s) {
    for (std::size_t i = 0; i < sets[s]->Size(); ++i) {
      const int d = sets[s]->At(i);
      if (_muted.Contains(d)) continue;
      auto it = std::find_if(_poll_fds.begin(), _poll_fds.end(),
                             [d](const pollfd& entry) { return entry.fd == d; });
      if (it == _poll_fds.end()) it = _poll_fds.insert(_poll_fds.end(), pollfd{d, 0, 0});
      it->events = static_cast<short>(it->events | events[s]);
    }
  }
  // The wake event goes last and is no watched descriptor: it is left out of every count.
  const std::size_t watched = _poll_fds.size();
  if (_wake_event != -1) _poll_fds.push_back(pollfd{_wake_event, POLLIN, 0});
  return watched;
}

int Poller::Readiness(const pollfd& entry) {
  int ready = 0;
  if ((entry.events & POLLIN) != 0 && (entry.revents & kReadable) != 0) ready |= kReadReady;
  if ((entry.events & POLLOUT) != 0 && (entry.revents & kWritable) != 0) ready |= kWriteReady;
  if ((entry.events & POLLPRI) != 0 && (entry.revents & kExceptional) != 0) ready |= kExceptReady;
  return ready;
}

int Poller::ReadyFor(int descriptor) const {
  for (const pollfd& entry : _poll_fds) {
    if (entry.fd == descriptor) return Readiness(entry);
  }
  return 0;
}

}  // namespace fp
