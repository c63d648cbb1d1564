#pragma once

#include "nudp/NudpCounts.h"

#include "frameprobe/CounterList.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace fp {

// What a CEthCamera has done on its camera socket, each counted where it happens:
// FRAMEPROBE_DRIVER_COUNTERS (frameprobe/CounterList.h says what each counts).
FP_COUNTS(CameraCounts, FRAMEPROBE_DRIVER_COUNTERS)

// The driver's counts over a span of time: its socket's and its own.
struct DriverCounts {
  NudpCounts socket;
  CameraCounts camera;

  // The counts of the span from `earlier` to this.
  DriverCounts Since(const DriverCounts& earlier) const;
  // Adds `other`'s counts to these.
  void Add(const DriverCounts& other);
};

// Every count of two DriverCounts, the socket's first.
template <>
struct CountList<DriverCounts> {
  static constexpr bool kIsCountSet = true;
  template <typename X, typename Y, typename F>
  static void Visit(X& a, Y& b, F& f) {
    ForEachCountInfo(a.socket, b.socket, f);
    ForEachCountInfo(a.camera, b.camera, f);
  }
};

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
