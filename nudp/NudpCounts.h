#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace fp {

// What a NudpSocket's receive path has seen, each counted where it is detected. `T` is
// std::atomic<std::uint64_t> in the socket and std::uint64_t in a copy (NudpCounts).
template <typename T>
struct NudpCountsOf {
  T received{};         // datagrams handed over by the socket layer, whatever became of them
  T foreign{};          // from another address or port than the camera's, or not IPv4
  T damaged{};          // a wrong length, no signature, a wrong checksum, outside the image or
                        // not filling its place (RAW data packets of these are in `raw` too)
  T raw{};              // RAW data packets from the camera with a signature
  T stored{};           // RAW data packets stored in the image
  T duplicates{};       // RAW data packets stored already, the same data again
  T conflicts{};        // RAW data packets stored already, with other data: missing again
  T refused{};          // RAW data packets while none were expected
  T matched_answers{};  // answers that completed the exchange of the command sent last
  T stray_answers{};    // answers while no command waited, or to another command
  T restarts{};         // the image began again: an answer to a repeated 0x08 while it was taken
                        // or kept, or a late copy showing a stream without one
};

using NudpCounts = NudpCountsOf<std::uint64_t>;

template <typename T>
struct IsNudpCounts : std::false_type {};
template <typename T>
struct IsNudpCounts<NudpCountsOf<T>> : std::true_type {};

// Calls `f(name, a.field, b.field)` for every field of two sets of counts (const or not), in
// the order above; the names carry the unit and suit machine-readable output
// ("received_packets", ...).
template <typename X, typename Y, typename F>
requires IsNudpCounts<std::remove_cvref_t<X>>::value &&
    IsNudpCounts<std::remove_cvref_t<Y>>::value void
    ForEachCount(X&& a, Y&& b, F&& f) {
  f("received_packets", a.received, b.received);
  f("foreign_packets", a.foreign, b.foreign);
  f("damaged_packets", a.damaged, b.damaged);
  f("raw_packets", a.raw, b.raw);
  f("stored_packets", a.stored, b.stored);
  f("duplicate_packets", a.duplicates, b.duplicates);
  f("conflicting_packets", a.conflicts, b.conflicts);
  f("refused_packets", a.refused, b.refused);
  f("matched_answers", a.matched_answers, b.matched_answers);
  f("stray_answers", a.stray_answers, b.stray_answers);
  f("restarts", a.restarts, b.restarts);
}

// One more of a counter that any thread may read.
inline void CountOne(std::atomic<std::uint64_t>& counter) {
  counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace fp
