#pragma once

// What the driver counted on its camera socket over a span of time (one image's transfer, or
// the connection so far), each counted where it happened: the socket's receive path first, then
// the driver's commands. CounterList.h lists the counters and tells what each counts.

#include "frameprobe/CounterList.h"

#include <cstdint>

namespace frameprobe {

// A std::uint64_t member for each counter of CounterList.h, under its name and in its order
// (received_packets, foreign_packets, ..., drains, lost_contacts).
struct Counters {
#define FRAMEPROBE_COUNTER_MEMBER(field, name, unit, place, label, help) std::uint64_t name = 0;
  FRAMEPROBE_SOCKET_COUNTERS(FRAMEPROBE_COUNTER_MEMBER)
  FRAMEPROBE_DRIVER_COUNTERS(FRAMEPROBE_COUNTER_MEMBER)
#undef FRAMEPROBE_COUNTER_MEMBER
};

// Calls `f(name, member)` for every counter, in the order above, with its name as the member's
// and a pointer to it: `counters.*member` is its value.
template <typename F>
constexpr void ForEachCounter(F&& f) {
#define FRAMEPROBE_COUNTER_VISIT(field, name, unit, place, label, help) f(#name, &Counters::name);
  FRAMEPROBE_SOCKET_COUNTERS(FRAMEPROBE_COUNTER_VISIT)
  FRAMEPROBE_DRIVER_COUNTERS(FRAMEPROBE_COUNTER_VISIT)
#undef FRAMEPROBE_COUNTER_VISIT
}

}  // namespace frameprobe
