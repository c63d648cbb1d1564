#pragma once

// The state of one image stream, shared by the command path and the stream path of
// CameraSimulator; private to tools/.

#include "nudp/NudpProtocol.h"
#include "tools/CameraSimulator.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

namespace fp {

inline constexpr std::size_t kRawDatagramLength = NUDP_HEADER_LENGTH + RAW_PACKET_DATA_LENGTH;
inline constexpr int kStreamBatch = 64;  // datagrams per system call when unpaced
inline constexpr int kMaxBurst = 128;    // most datagrams sent back to back to catch up (~1 ms)

struct CameraSimulator::Stream {
  SimEndpoint to;
  std::uint32_t image = 0;
  std::vector<int> plan;                        // packet indices in sending order (PlanStream)
  std::size_t next = 0;                         // index into plan of the next packet to send
  std::chrono::steady_clock::time_point start;  // first send
  std::chrono::steady_clock::time_point budget_origin;  // pacing clock, moved on after stalls
  std::chrono::steady_clock::time_point last_send;
  std::uint64_t bytes = 0;
  std::uint64_t packets = 0;
  bool answer_pending = false;  // the 0x08 answer waits for the end (answer_after_stream)
  NudpHeader command{};
  SimEndpoint command_from;
  std::vector<std::array<std::uint8_t, kRawDatagramLength>> slots =
      std::vector<std::array<std::uint8_t, kRawDatagramLength>>(kStreamBatch);
};

}  // namespace fp
