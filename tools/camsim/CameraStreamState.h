#pragma once

// The state of one image stream, shared by the command path and the stream path of
// CameraSimulator; private to tools/camsim/.

#include "nudp/NudpProtocol.h"
#include "tools/camsim/CameraSimulator.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

namespace fp {

// When paced, the thread wakes about this often and sends the packets whose time has come with
// one system call: 16 packets at 1000 Mbit/s. Waking for every packet (8.8 us apart) would keep
// a core busy with wake-ups alone.
inline constexpr std::chrono::microseconds kPacingPeriod{140};
// After a stall (the thread was not scheduled, or a send blocked) at most this much of the
// stream is sent back to back to catch up; the rest of the delay is forgiven, as a link cannot
// go faster than its rate.
inline constexpr std::chrono::microseconds kMaxCatchUp{1000};

struct CameraSimulator::Stream {
  SimEndpoint to;
  std::uint32_t image = 0;
  std::vector<int> plan;                        // packet indices in sending order (PlanStream)
  std::size_t next = 0;                         // index into plan of the next packet to send
  std::chrono::steady_clock::time_point start;  // when the stream began
  // Packet k of the plan is due once its time on the link has passed: at origin + (k + 1)
  // packet intervals. Moved on only when a stall's delay is forgiven.
  std::chrono::steady_clock::time_point origin;
  std::chrono::steady_clock::time_point last_send;
  std::uint64_t packets_before = 0;  // _stats.raw_packets_sent when the stream began
  double cpu_start = 0.0;            // thread CPU seconds when the stream began
  bool answer_pending = false;       // the 0x08 answer waits for the end (answer_after_stream)
  NudpHeader command{};
  SimEndpoint command_from;
  // A replay's: the capture's image the packets' data comes from, and when each plan entry is
  // due, in nanoseconds after `origin`; null and empty for camsim's own images.
  const CapturedImage* replay = nullptr;
  std::vector<std::int64_t> due_ns;
  // The capture's answer to the start command, for answer_pending; null for camsim's own.
  const std::vector<std::uint8_t>* start_answer = nullptr;
  std::vector<std::array<std::uint8_t, kRawDatagramLength>> slots =
      std::vector<std::array<std::uint8_t, kRawDatagramLength>>(kMaxBatch);
};

}  // namespace fp
