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

// CountList<S>::Visit(a, b, f) calls `f(info, a.field, b.field)` for every count of two sets
// `a` and `b` of type S (const or not, atomic or not), in the order of their list.
template <typename S>
struct CountList {
  static constexpr bool kIsCountSet = false;
};

template <typename S>
concept CountSet = CountList<std::remove_cvref_t<S>>::kIsCountSet;

// FP_COUNTS(Name, LIST) makes, from a list of frameprobe/CounterList.h, the struct template
// Name##Of<T> with a member for each line of LIST under its `field` name (T is
// std::atomic<std::uint64_t> in what counts, std::uint64_t in a copy), Name for a copy, and its
// CountList.
#define FP_COUNT_MEMBER(field, name, unit, place, label, help) T field{};
#define FP_COUNT_VISIT(field, name, unit, place, label, help) \
  f(CountInfo{#name, #unit, CountPlace::place, label, help}, a.field, b.field);
#define FP_COUNTS(Name, LIST)                     \
  template <typename T>                           \
  struct Name##Of {                               \
    LIST(FP_COUNT_MEMBER)                         \
  };                                              \
  using Name = Name##Of<std::uint64_t>;           \
  template <typename T>                           \
  struct CountList<Name##Of<T>> {                 \
    static constexpr bool kIsCountSet = true;     \
    template <typename X, typename Y, typename F> \
    static void Visit(X& a, Y& b, F& f) {         \
      LIST(FP_COUNT_VISIT)                        \
    }                                             \
  };

// Calls `f(info, a.field, b.field)` for every count of two sets of counts, in their list's order,
// with the count's description.
template <typename X, typename Y, typename F>
requires CountSet<X> && CountSet<Y>
void ForEachCountInfo(X&& a, Y&& b, F&& f) { CountList<std::remove_cvref_t<X>>::Visit(a, b, f); }

// Calls `f(name, a.field, b.field)` for every count of two sets of counts, in their list's
// order; the names carry the unit and suit machine-readable output ("received_packets", ...).
template <typename X, typename Y, typename F>
requires CountSet<X> && CountSet<Y>
void ForEachCount(X&& a, Y&& b, F&& f) {
  ForEachCountInfo(a, b, [&f](const CountInfo& info, auto& x, auto& y) { f(info.name, x, y); });
}

// What a NudpSocket's receive path has seen, each counted where it is detected:
// FRAMEPROBE_SOCKET_COUNTERS (frameprobe/CounterList.h says what each counts).
FP_COUNTS(NudpCounts, FRAMEPROBE_SOCKET_COUNTERS)

// One more of a counter that any thread may read.
inline void CountOne(std::atomic<std::uint64_t>& counter) {
  counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace fp
