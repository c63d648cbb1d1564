#pragma once

// What the driver counted on its camera socket over a span of time (one image's transfer, or
// the connection so far), each counted where it happened: the socket's receive path first, then
// the driver's commands.

#include <cstdint>

namespace frameprobe {

struct Counters {
  // The camera socket's receive path.
  std::uint64_t received_packets = 0;     // datagrams received, whatever became of them
  std::uint64_t foreign_packets = 0;      // from another address or port than the camera's
  std::uint64_t damaged_packets = 0;      // a wrong length, no signature, a wrong checksum,
                                          // outside the image or not filling its place
  std::uint64_t raw_packets = 0;          // RAW data packets from the camera with a signature
  std::uint64_t stored_packets = 0;       // RAW data packets stored in the image
  std::uint64_t duplicate_packets = 0;    // RAW data packets stored already, the same data again
  std::uint64_t conflicting_packets = 0;  // stored already with other data: missing again
  std::uint64_t refused_packets = 0;      // RAW data packets while none were expected
  std::uint64_t matched_answers = 0;      // answers that completed the command sent last
  std::uint64_t stray_answers = 0;        // answers while no command waited, or to another
  std::uint64_t restarts = 0;             // the image began again: an answer to a repeated start,
                                          // or a stream without one
  // The driver's commands on that socket (the watchdog's refreshes go on a socket of their own).
  std::uint64_t sent_commands = 0;             // command packets sent, repetitions included
  std::uint64_t repeated_commands = 0;         // of those, repetitions after the first sending
  std::uint64_t timed_out_commands = 0;        // attempts that no answer ended in time
  std::uint64_t status_requests = 0;           // transfer status requests (0x0A) sent
  std::uint64_t retransmission_requests = 0;   // retransmission requests (TOP 6) sent
  std::uint64_t answered_retransmissions = 0;  // retransmission requests the camera answered
  std::uint64_t fetched_again_packets = 0;     // RAW packets that recovery brought into the image
  std::uint64_t drains = 0;         // waits for a streaming camera to fall silent before a repeat
  std::uint64_t lost_contacts = 0;  // commands given up after every attempt: connection closed
};

// Calls `f(name, member)` for every counter, in the order above, with its name as the member's
// and a pointer to it: `counters.*member` is its value.
template <typename F>
constexpr void ForEachCounter(F&& f) {
  f("received_packets", &Counters::received_packets);
  f("foreign_packets", &Counters::foreign_packets);
  f("damaged_packets", &Counters::damaged_packets);
  f("raw_packets", &Counters::raw_packets);
  f("stored_packets", &Counters::stored_packets);
  f("duplicate_packets", &Counters::duplicate_packets);
  f("conflicting_packets", &Counters::conflicting_packets);
  f("refused_packets", &Counters::refused_packets);
  f("matched_answers", &Counters::matched_answers);
  f("stray_answers", &Counters::stray_answers);
  f("restarts", &Counters::restarts);
  f("sent_commands", &Counters::sent_commands);
  f("repeated_commands", &Counters::repeated_commands);
  f("timed_out_commands", &Counters::timed_out_commands);
  f("status_requests", &Counters::status_requests);
  f("retransmission_requests", &Counters::retransmission_requests);
  f("answered_retransmissions", &Counters::answered_retransmissions);
  f("fetched_again_packets", &Counters::fetched_again_packets);
  f("drains", &Counters::drains);
  f("lost_contacts", &Counters::lost_contacts);
}

}  // namespace frameprobe
