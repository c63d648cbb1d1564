#pragma once

#include "frameprobe/CounterList.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace fp {

// Where a line of words about a list of counts shows one (the places of frameprobe/CounterList.h).
enum class CountPlace { kLead, kItem, kPart, kTail, kApart };

// One count as its list describes it.
struct CountInfo {
  const char* name;   // with its unit, for machine-readable output: "received_packets", ...
  const char* unit;   // "packets", ...
  CountPlace place;   // in a line of words
  const char* label;  // its words in that line: "datagrams", "RAW packets", ...
  const char* help;   // what it counts
};

// What a NudpSocket's receive path has seen, each counted where it is detected: a member for
// each line of FRAMEPROBE_SOCKET_COUNTERS (frameprobe/CounterList.h says what it counts), under
// its `field` name. `T` is std::atomic<std::uint64_t> in the socket and std::uint64_t in a copy
// (NudpCounts).
template <typename T>
struct NudpCountsOf {
#define FP_COUNT_MEMBER(field, name, unit, place, label, help) T field{};
  FRAMEPROBE_SOCKET_COUNTERS(FP_COUNT_MEMBER)
#undef FP_COUNT_MEMBER
};

using NudpCounts = NudpCountsOf<std::uint64_t>;

template <typename T>
struct IsNudpCounts : std::false_type {};
template <typename T>
struct IsNudpCounts<NudpCountsOf<T>> : std::true_type {};

// Calls `f(info, a.field, b.field)` for every field of two sets of counts (const or not), in
// the order above, with the count's description.
template <typename X, typename Y, typename F>
requires IsNudpCounts<std::remove_cvref_t<X>>::value &&
    IsNudpCounts<std::remove_cvref_t<Y>>::value void
    ForEachCountInfo(X&& a, Y&& b, F&& f) {
#define FP_COUNT_VISIT(field, name, unit, place, label, help) \
  f(CountInfo{#name, #unit, CountPlace::place, label, help}, a.field, b.field);
  FRAMEPROBE_SOCKET_COUNTERS(FP_COUNT_VISIT)
#undef FP_COUNT_VISIT
}

// Calls `f(name, a.field, b.field)` for every field of two sets of counts (const or not), in
// the order above; the names carry the unit and suit machine-readable output
// ("received_packets", ...).
template <typename X, typename Y, typename F>
requires IsNudpCounts<std::remove_cvref_t<X>>::value &&
    IsNudpCounts<std::remove_cvref_t<Y>>::value void
    ForEachCount(X&& a, Y&& b, F&& f) {
  ForEachCountInfo(a, b, [&f](const CountInfo& info, auto& x, auto& y) { f(info.name, x, y); });
}

// One more of a counter that any thread may read.
inline void CountOne(std::atomic<std::uint64_t>& counter) {
  counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace fp
