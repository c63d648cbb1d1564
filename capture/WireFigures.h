#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fp {

// What only a capture of the traffic tells of an image, beside what the driver counts.

// A run of packets the capture's stream lacks: lost before the host.
struct LossBurst {
  int first = 0;  // packet index
  int count = 0;
  // The arrival gap across the burst: from the stream packet before it to the one after it
  // (the stream's first or last at the image's ends), in milliseconds.
  double gap_ms = 0;
};

// A pause in the stream: `ms` before packet `before` arrived.
struct StreamGap {
  double ms = 0;
  int before = 0;
};

// A command sent while the image was taken, and how long its answer took.
struct CommandTime {
  std::string name;       // "start", "transfer status", ... (CommandName)
  int sendings = 1;       // the first and the repetitions before an answer
  double answer_ms = -1;  // from the first sending; -1 when not answered
};

struct WireFigures {
  int lost_before_host = 0;             // needed by the driver, absent from the capture's stream
  int lost_in_host = 0;                 // in the capture's stream, yet asked for again
  std::vector<LossBurst> bursts;        // of the packets lost before the host, in order
  std::vector<StreamGap> longest_gaps;  // the three longest, longest first
  std::int64_t stream_copies = 0;       // RAW packets in the capture's stream
  double stream_ms = 0;                 // its first packet to its last
  std::int64_t retransmission_answers = 0;
  double retransmission_answer_median_ms = 0;
  double retransmission_answer_max_ms = 0;
  std::vector<CommandTime> commands;  // but the retransmission requests, in order

  // The stream's rate in Mbit/s of NUDP payload (header and data), 0 when too short to tell.
  double StreamMbitPerS() const;
};

// A command's name for people: "binning on", "start", "transfer status", "identify",
// "watchdog refresh", or "0x%X" of its number field; "retransmission" for TOP 6.
std::string CommandName(std::uint8_t top, std::uint32_t number);

}  // namespace fp
