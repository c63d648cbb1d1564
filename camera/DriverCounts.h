#pragma once

#include "nudp/NudpCounts.h"

#include "frameprobe/CounterList.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace fp {

// What a CEthCamera has done on its camera socket, each counted where it happens: a member for
// each line of FRAMEPROBE_DRIVER_COUNTERS (frameprobe/CounterList.h says what it counts), under
// its `field` name. `T` is std::atomic<std::uint64_t> in the camera and std::uint64_t in a copy
// (CameraCounts).
template <typename T>
struct CameraCountsOf {
#define FP_COUNT_MEMBER(field, name, unit, place, label, help) T field{};
  FRAMEPROBE_DRIVER_COUNTERS(FP_COUNT_MEMBER)
#undef FP_COUNT_MEMBER
};

using CameraCounts = CameraCountsOf<std::uint64_t>;

template <typename T>
struct IsCameraCounts : std::false_type {};
template <typename T>
struct IsCameraCounts<CameraCountsOf<T>> : std::true_type {};

// Calls `f(info, a.field, b.field)` for every field of two sets of counts (const or not), in
// the order above, with the count's description.
template <typename X, typename Y, typename F>
requires IsCameraCounts<std::remove_cvref_t<X>>::value &&
    IsCameraCounts<std::remove_cvref_t<Y>>::value void
    ForEachCountInfo(X&& a, Y&& b, F&& f) {
#define FP_COUNT_VISIT(field, name, unit, place, label, help) \
  f(CountInfo{#name, #unit, CountPlace::place, label, help}, a.field, b.field);
  FRAMEPROBE_DRIVER_COUNTERS(FP_COUNT_VISIT)
#undef FP_COUNT_VISIT
}

// Calls `f(name, a.field, b.field)` for every field of two sets of counts (const or not), in
// the order above; the names carry the unit.
template <typename X, typename Y, typename F>
requires IsCameraCounts<std::remove_cvref_t<X>>::value &&
    IsCameraCounts<std::remove_cvref_t<Y>>::value void
    ForEachCount(X&& a, Y&& b, F&& f) {
  ForEachCountInfo(a, b, [&f](const CountInfo& info, auto& x, auto& y) { f(info.name, x, y); });
}

// The driver's counts over a span of time: its socket's and its own.
struct DriverCounts {
  NudpCounts socket;
  CameraCounts camera;

  // The counts of the span from `earlier` to this.
  DriverCounts Since(const DriverCounts& earlier) const;
  // Adds `other`'s counts to these.
  void Add(const DriverCounts& other);
};

// Calls `f(info, a.field, b.field)` for every count of two DriverCounts, the socket's first.
template <typename X, typename Y, typename F>
requires std::is_same_v<std::remove_cvref_t<X>, DriverCounts> &&
    std::is_same_v<std::remove_cvref_t<Y>, DriverCounts>
void ForEachCountInfo(X&& a, Y&& b, F&& f) {
  ForEachCountInfo(a.socket, b.socket, f);
  ForEachCountInfo(a.camera, b.camera, f);
}

// Calls `f(name, a.field, b.field)` for every count of two DriverCounts, the socket's first.
template <typename X, typename Y, typename F>
requires std::is_same_v<std::remove_cvref_t<X>, DriverCounts> &&
    std::is_same_v<std::remove_cvref_t<Y>, DriverCounts>
void ForEachCount(X&& a, Y&& b, F&& f) {
  ForEachCount(a.socket, b.socket, f);
  ForEachCount(a.camera, b.camera, f);
}

inline DriverCounts DriverCounts::Since(const DriverCounts& earlier) const {
  DriverCounts span = *this;
  ForEachCount(span, earlier,
               [](const char*, std::uint64_t& to, std::uint64_t from) { to -= from; });
  return span;
}

inline void DriverCounts::Add(const DriverCounts& other) {
  ForEachCount(*this, other,
               [](const char*, std::uint64_t& to, std::uint64_t from) { to += from; });
}

// What CEthCamera::Counters() hands over: the counts of the last RAW transfer (from the last
// 0x08 sent on), the counts since Open, and the receive buffer the kernel granted the camera
// socket, in bytes as the kernel counts them.
struct DriverCounters {
  DriverCounts last_transfer;
  DriverCounts since_open;
  std::int64_t receive_buffer_bytes = -1;
};

}  // namespace fp
