#pragma once

#include "nudp/NudpCounts.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace fp {

// What a CEthCamera has done on its camera socket, each counted where it happens. `T` is
// std::atomic<std::uint64_t> in the camera and std::uint64_t in a copy (CameraCounts).
template <typename T>
struct CameraCountsOf {
  T commands{};                  // command packets sent, repetitions included
  T repeats{};                   // of those, repetitions of a command after its first sending
  T timeouts{};                  // attempts that no answer ended in time
  T status_requests{};           // 0x0A packets sent, repetitions included
  T retransmission_requests{};   // TOP 6 packets sent, repetitions included
  T answered_retransmissions{};  // retransmission requests that the camera answered
  T fetched_again{};             // RAW packets that recovery brought into the image
  T drains{};                    // waits for a streaming camera to fall silent before a repeat
  T lost_contacts{};             // commands given up after every attempt: the connection closed
};

using CameraCounts = CameraCountsOf<std::uint64_t>;

template <typename T>
struct IsCameraCounts : std::false_type {};
template <typename T>
struct IsCameraCounts<CameraCountsOf<T>> : std::true_type {};

// Calls `f(name, a.field, b.field)` for every field of two sets of counts (const or not), in
// the order above; the names carry the unit.
template <typename X, typename Y, typename F>
requires IsCameraCounts<std::remove_cvref_t<X>>::value &&
    IsCameraCounts<std::remove_cvref_t<Y>>::value void
    ForEachCount(X&& a, Y&& b, F&& f) {
  f("sent_commands", a.commands, b.commands);
  f("repeated_commands", a.repeats, b.repeats);
  f("timed_out_commands", a.timeouts, b.timeouts);
  f("status_requests", a.status_requests, b.status_requests);
  f("retransmission_requests", a.retransmission_requests, b.retransmission_requests);
  f("answered_retransmissions", a.answered_retransmissions, b.answered_retransmissions);
  f("fetched_again_packets", a.fetched_again, b.fetched_again);
  f("drains", a.drains, b.drains);
  f("lost_contacts", a.lost_contacts, b.lost_contacts);
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
