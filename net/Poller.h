#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <vector>

struct pollfd;
struct timeval;

namespace fp {

// The wait of the socket layer's event loop: the three interest sets (read, write, exception),
// the rule that mutes a descriptor watched for exceptions alone once poll tells it of an error or
// hang-up it was not asked about, and an eventfd that another thread signals to end a wait early.
// It knows descriptors, not sockets, so it works on any descriptor poll takes.
//
// Used by one thread at a time, apart from Wake.
class Poller {
 public:
  // Most descriptors an interest set holds.
  static constexpr std::size_t kSetSize = 64;
  // What a wait found a descriptor ready for, among what it was asked to watch.
  static constexpr int kReadReady = 1;
  static constexpr int kWriteReady = 2;
  static constexpr int kExceptReady = 4;

  // Creates the wake event; when that fails, WakeEventError() says why and Wake does nothing.
  Poller();
  ~Poller();

  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // 0, or the socket error code of the failed creation of the wake event.
  int WakeEventError() const { return _wake_error; }

  // Watches (true) or stops watching (false) the descriptor for each kind of readiness; a
  // descriptor goes into no set that is full. Setting it also ends a mute of the descriptor.
  void SetInterest(int descriptor, bool read, bool write, bool except);
  bool ReadInterest(int descriptor) const { return _read_set.Contains(descriptor); }
  bool WriteInterest(int descriptor) const { return _write_set.Contains(descriptor); }
  bool ExceptInterest(int descriptor) const { return _except_set.Contains(descriptor); }

  // Waits at most `timeout` (null: no limit) for the watched descriptors or a wake-up. Returns
  // the ready indications as select counts them, one per descriptor and kind; 0 on a time-out or
  // a wake-up alone; -1 when the wait failed, with the socket error code in `error` (a watched
  // number that is no open file fails it, as it fails select).
  //
  // With a `gather` time, the wait first lets that much of the timeout pass watching the wake
  // event alone, and only then looks at the descriptors: what turned ready meanwhile is found
  // in one look, rather than one wait ending per arrival. A wake-up ends the gathering at once.
  // Without a wake event nothing is gathered.
  int Wait(const struct timeval* timeout, int& error,
           std::chrono::microseconds gather = std::chrono::microseconds::zero());

  // What the last wait found the descriptor ready for (kReadReady | ...), 0 when nothing. What
  // changes in the interest sets after the wait does not change it.
  int ReadyFor(int descriptor) const;

  // Ends the wait in progress or, when none is waiting, the next one, which then returns at
  // once. Wake-ups made before one wait ends are used up by it together. A wake-up made while
  // the waiting thread is between the end of its wait and the clearing of the event may be used
  // up without ending any wait: the caller's next wait then runs its time. Does nothing without
  // a wake event. Safe to call from any thread; the poller must outlive the call.
  void Wake();

 private:
  // A descriptor set of at most kSetSize descriptors, without duplicates.
  class DescriptorSet {
   public:
    bool Contains(int descriptor) const;
    void Insert(int descriptor);  // no change when present or full
    void Erase(int descriptor);   // no change when absent
    std::size_t Size() const { return _count; }
    int At(std::size_t i) const { return _descriptors[i]; }

   private:
    std::array<int, kSetSize> _descriptors{};
    std::size_t _count = 0;
  };

  // Fills _poll_fds from the interest sets, the wake event last; returns how many entries are
  // watched descriptors.
  std::size_t BuildPollSet();
  // Counts the ready indications of the last poll, muting as it goes; -1 when one entry is no
  // open file.
  int Count(std::size_t watched, bool& muted);
  static int Readiness(const pollfd& entry);

  // Owned; -1 when none could be made. Set once at construction, before any thread can Wake.
  int _wake_event;
  int _wake_error = 0;
  DescriptorSet _read_set;
  DescriptorSet _write_set;
  DescriptorSet _except_set;
  // Descriptors watched for exceptions alone on which a wait found an error or hang-up it was
  // not asked about: left out of later waits until their interest is set again.
  DescriptorSet _muted;
  // The entries of the last wait, kept to avoid allocating on every wait.
  std::vector<pollfd> _poll_fds;
};

}  // namespace fp
